// The compiled resources: the four dialog templates read back field by
// field, the dialogs' real sizes, the icon group, the manifest and the
// version block.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "shell/install_config.h"
#include "tests/win32/build_names.h"
#include "tests/expected_dialogs.h"

namespace {

// The class as the template stores it: the predefined classes as ordinals,
// which WindowClass reads back as these names.
std::string TemplateClass(ControlKind kind)
{
    switch (kind) {
    case ControlKind::kButton:
        return "BUTTON";
    case ControlKind::kStatic:
        return "STATIC";
    default:
        return "MSCTLS_PROGRESS32";
    }
}

// Reads a classic dialog template in order.
struct TemplateReader {
    const unsigned char* at;

    WORD Word()
    {
        WORD value;
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    DWORD Dword()
    {
        DWORD value;
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    short Short() { return static_cast<short>(Word()); }
    std::string Text()
    {
        std::wstring wide;
        for (WORD unit = Word(); unit != 0; unit = Word())
            wide += static_cast<wchar_t>(unit);
        return Utf8(wide);
    }
    // A name or an ordinal, which reads as "#" and its number.
    std::string NameOrOrdinal()
    {
        WORD first;
        std::memcpy(&first, at, sizeof first);
        if (first != 0xFFFF)
            return Text();
        Word();
        return "#" + std::to_string(Word());
    }
    // Buttons and static controls are stored as the ordinals 0x80 and 0x82,
    // other classes by name, in any case.
    std::string WindowClass()
    {
        std::string name = NameOrOrdinal();
        if (name == "#128")
            return "BUTTON";
        if (name == "#130")
            return "STATIC";
        CharUpperA(&name[0]);
        return name == "BUTTON" || name == "STATIC" ? name + " by name" : name;
    }
    void AlignToDword(const unsigned char* start) { at += (4 - (at - start) % 4) % 4; }
};

const unsigned char* LoadTemplate(const char* name, const char* type)
{
    HRSRC resource = FindResourceA(nullptr, name, type);
    return resource == nullptr ? nullptr : static_cast<const unsigned char*>(LockResource(LoadResource(nullptr, resource)));
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR found)
{
    reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
    return TRUE;
}

std::vector<WORD> Languages(const char* type, const char* name)
{
    std::vector<WORD> found;
    EnumResourceLanguagesA(nullptr, type, name, CollectLanguage, reinterpret_cast<LONG_PTR>(&found));
    return found;
}

INT_PTR CALLBACK PlainDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// The version reader comes from its own library, which the tests do not link.
template <typename Function>
Function Lookup(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

BOOL CALLBACK CountName(HMODULE, LPCSTR, LPSTR, LONG_PTR count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

}  // namespace

TEST(DialogTemplates, MatchTheTablesFieldByField)
{
    for (const ExpectedDialog& expected : ExpectedDialogs(BuildUtf8(kProductName), BuildUtf8(kInstallDir))) {
        SCOPED_TRACE(expected.name);
        const unsigned char* start = LoadTemplate(expected.name, RT_DIALOG);
        ASSERT_NE(start, nullptr);
        TemplateReader reader{start};
        EXPECT_EQ(reader.Dword(), kDialogStyle);
        EXPECT_EQ(reader.Dword(), 0u) << "extended style";
        WORD count = reader.Word();
        ASSERT_EQ(count, expected.controls.size());
        EXPECT_EQ(reader.Short(), 0);
        EXPECT_EQ(reader.Short(), 0);
        EXPECT_EQ(reader.Short(), expected.cx);
        EXPECT_EQ(reader.Short(), expected.cy);
        EXPECT_EQ(reader.Word(), 0) << "menu";
        EXPECT_EQ(reader.Word(), 0) << "window class";
        EXPECT_EQ(reader.Text(), expected.caption);
        EXPECT_EQ(reader.Word(), 8) << "font size";
        EXPECT_EQ(reader.Text(), "MS Sans Serif");

        for (const ExpectedControl& control : expected.controls) {
            SCOPED_TRACE(control.text);
            reader.AlignToDword(start);
            EXPECT_EQ(reader.Dword(), control.style);
            EXPECT_EQ(reader.Dword(), 0u) << "extended style";
            EXPECT_EQ(reader.Short(), control.x);
            EXPECT_EQ(reader.Short(), control.y);
            EXPECT_EQ(reader.Short(), control.cx);
            EXPECT_EQ(reader.Short(), control.cy);
            EXPECT_EQ(reader.Word(), control.id);
            EXPECT_EQ(reader.WindowClass(), TemplateClass(control.kind));
            std::string text = reader.NameOrOrdinal();
            if (IsIcon(control)) {
                EXPECT_EQ(text, "#" + std::to_string(IDI_APP));
            } else if (IsRightsNotice(control)) {
                EXPECT_EQ(text.substr(0, control.text.size() + 1), control.text + "\n");
                EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
                EXPECT_NE(text.back(), '\n');
            } else {
                EXPECT_EQ(text, control.text);
            }
            EXPECT_EQ(reader.Word(), 0) << "creation data";
        }
    }
}

TEST(DialogTemplates, AreEnglishUnitedStatesOnly)
{
    for (const char* name : {"IDD_INSTALL", "IDD_PROGRESS", "IDD_SUCCESS", "IDD_FAIL"})
        EXPECT_EQ(Languages(RT_DIALOG, name), std::vector<WORD>{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}) << name;
    EXPECT_EQ(Languages(RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_APP)),
              std::vector<WORD>{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)});
}

// A created dialog's client area is the template's size in dialog units
// mapped through the dialog's font; its controls come in template order.
TEST(DialogTemplates, CreatedDialogsHaveTheTemplateSizes)
{
    INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
    for (const ExpectedDialog& expected : ExpectedDialogs(kProductName, kInstallDir)) {
        SCOPED_TRACE(expected.name);
        HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), expected.name, nullptr, PlainDialogProc, 0);
        ASSERT_NE(dialog, nullptr);
        RECT size = {0, 0, expected.cx, expected.cy};
        MapDialogRect(dialog, &size);
        RECT client;
        GetClientRect(dialog, &client);
        EXPECT_EQ(client.right, size.right);
        EXPECT_EQ(client.bottom, size.bottom);

        HWND child = GetWindow(dialog, GW_CHILD);
        for (const ExpectedControl& control : expected.controls) {
            ASSERT_NE(child, nullptr);
            EXPECT_EQ(GetDlgCtrlID(child), control.id);
            if (IsIcon(control)) {
                EXPECT_NE(SendMessageA(child, STM_GETICON, 0, 0), 0) << "icon shown";
            }
            child = GetWindow(child, GW_HWNDNEXT);
        }
        EXPECT_EQ(child, nullptr) << "no extra control";
        DestroyWindow(dialog);
    }
}

TEST(InstallerResources, TheIconGroupHoldsA16ColourAndA256ColourImage)
{
    const unsigned char* group = LoadTemplate(MAKEINTRESOURCEA(IDI_APP), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    TemplateReader reader{group};
    EXPECT_EQ(reader.Word(), 0);
    EXPECT_EQ(reader.Word(), 1) << "icon, not cursor";
    ASSERT_EQ(reader.Word(), 2);
    struct Image {
        BYTE size, colours;
        WORD bits;
        DWORD bytes;
    };
    for (Image expected : {Image{32, 16, 4, 744}, Image{48, 0, 8, 3752}}) {
        SCOPED_TRACE(expected.size);
        EXPECT_EQ(*reader.at++, expected.size);
        EXPECT_EQ(*reader.at++, expected.size);
        EXPECT_EQ(*reader.at++, expected.colours);
        reader.at++;
        EXPECT_EQ(reader.Word(), 1) << "planes";
        EXPECT_EQ(reader.Word(), expected.bits);
        EXPECT_EQ(reader.Dword(), expected.bytes);
        HRSRC image = FindResourceA(nullptr, MAKEINTRESOURCEA(reader.Word()), RT_ICON);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(SizeofResource(nullptr, image), expected.bytes);
        auto* header = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(nullptr, image)));
        EXPECT_EQ(header->biWidth, expected.size);
        EXPECT_EQ(header->biHeight, 2 * expected.size) << "image and mask";
        EXPECT_EQ(header->biBitCount, expected.bits);
    }

    int groups = 0;
    EnumResourceNamesA(nullptr, RT_GROUP_ICON, CountName, reinterpret_cast<LONG_PTR>(&groups));
    EXPECT_EQ(groups, 1);
}

TEST(InstallerResources, TheManifestAsksForAdministratorAndCommonControls6)
{
    HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(1), RT_MANIFEST);
    ASSERT_NE(resource, nullptr);
    std::string manifest(static_cast<const char*>(LockResource(LoadResource(nullptr, resource))),
                         SizeofResource(nullptr, resource));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    size_t dependency = manifest.find("<dependentAssembly>");
    ASSERT_NE(dependency, std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", dependency),
              std::string::npos);
    EXPECT_NE(manifest.find("publicKeyToken=\"6595b64144ccf1df\"", dependency), std::string::npos);
}

TEST(InstallerResources, TheVersionBlockNamesTheProduct)
{
    HMODULE version = LoadLibraryA("version.dll");
    ASSERT_NE(version, nullptr);
    auto sizeOf = Lookup<DWORD(WINAPI*)(LPCWSTR, LPDWORD)>(version, "GetFileVersionInfoSizeW");
    auto read = Lookup<BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID)>(version, "GetFileVersionInfoW");
    auto query = Lookup<BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT)>(version, "VerQueryValueW");
    ASSERT_TRUE(sizeOf != nullptr && read != nullptr && query != nullptr);
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::vector<char> block(sizeOf(program, nullptr));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(read(program, 0, static_cast<DWORD>(block.size()), block.data()));

    // The strings are UTF-16; the block's name says which code page the
    // names were written in: Windows-1252, or Unicode for a UTF-8 build.
    const std::wstring table = kNameCodePage == CP_UTF8 ? L"040904B0" : L"040904E4";
    auto value = [&](const wchar_t* key) {
        void* text = nullptr;
        UINT length = 0;
        std::wstring path = L"\\StringFileInfo\\" + table + L"\\" + key;
        return query(block.data(), path.c_str(), &text, &length) && text != nullptr
                   ? Utf8(static_cast<wchar_t*>(text))
                   : std::string("(none)");
    };
    EXPECT_EQ(value(L"ProductName"), BuildUtf8(kProductName));
    EXPECT_EQ(value(L"FileDescription"), BuildUtf8(kProductName) + " Setup");
    FreeLibrary(version);
}
