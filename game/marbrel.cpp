// The sample game that the installer delivers: one window showing a few
// marbles on a dark table and the game's name.
#include <windows.h>

namespace {

const char kClassName[] = "VellicotMarbrelWindow";
const char kTitle[] = "Vellicot Marbrel";
const int kClientWidth = 480;
const int kClientHeight = 320;

struct Marble {
    int x, y, radius;
    COLORREF colour;
};

const Marble kMarbles[] = {
    {110, 190, 38, RGB(40, 90, 210)},  {215, 215, 30, RGB(210, 60, 40)},
    {300, 170, 42, RGB(240, 170, 30)}, {390, 220, 26, RGB(40, 170, 90)},
    {170, 255, 20, RGB(150, 70, 190)},
};

void FillCircle(HDC dc, int x, int y, int radius, COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    HPEN pen = CreatePen(PS_SOLID, 1, colour);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    Ellipse(dc, x - radius, y - radius, x + radius + 1, y + radius + 1);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    DeleteObject(pen);
    DeleteObject(brush);
}

void PaintScene(HDC dc, const RECT& client)
{
    HBRUSH table = CreateSolidBrush(RGB(18, 24, 40));
    FillRect(dc, &client, table);
    DeleteObject(table);

    for (const Marble& m : kMarbles) {
        // Shadow, a darker rim, the body lit from the upper left, a highlight.
        FillCircle(dc, m.x + 5, m.y + 6, m.radius, RGB(8, 10, 18));
        FillCircle(dc, m.x, m.y, m.radius,
                   RGB(GetRValue(m.colour) / 2, GetGValue(m.colour) / 2, GetBValue(m.colour) / 2));
        FillCircle(dc, m.x - m.radius / 8, m.y - m.radius / 8, m.radius * 4 / 5, m.colour);
        FillCircle(dc, m.x - m.radius / 3, m.y - m.radius / 3, m.radius / 4, RGB(245, 245, 255));
    }

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(230, 220, 170));
    HFONT font = CreateFontA(40, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, ANSI_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_SWISS, "Arial");
    HGDIOBJ oldFont = SelectObject(dc, font);
    RECT title = {0, 30, client.right, 90};
    DrawTextA(dc, kTitle, -1, &title, DT_CENTER | DT_SINGLELINE | DT_VCENTER);
    SelectObject(dc, oldFont);
    DeleteObject(font);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        RECT client;
        GetClientRect(window, &client);
        PaintScene(dc, client);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;  // WM_PAINT covers the whole client area
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(105));
    if (icon == nullptr)
        icon = LoadIconA(nullptr, IDI_APPLICATION);

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    if (RegisterClassA(&windowClass) == 0)
        return 1;

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&frame, style, FALSE);
    HWND window = CreateWindowA(kClassName, kTitle, style, CW_USEDEFAULT, CW_USEDEFAULT,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                nullptr, instance, nullptr);
    if (window == nullptr)
        return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
