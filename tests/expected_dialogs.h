// The installer's four dialogs as a user must meet them: caption, size in
// dialog units, and each control in creation order with its style, id,
// class, text and place. The template tests and the end-to-end driver both
// check against this one table.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"

constexpr unsigned long kDialogStyle =
    WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_CENTER | DS_SETFONT;
constexpr unsigned long kDefaultButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr unsigned long kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
constexpr unsigned long kIconStyle = WS_CHILD | WS_VISIBLE | SS_ICON;
constexpr unsigned long kTextStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
constexpr unsigned long kCentredTextStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_CENTER;
constexpr unsigned long kCentredLineStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_CENTER | SS_CENTERIMAGE;
constexpr unsigned long kProgressBarStyle = WS_CHILD | WS_VISIBLE | WS_BORDER;
constexpr int kUnaddressed = 0xFFFF;  // the id of statics no code addresses

enum class ControlKind { kButton, kStatic, kProgressBar };

struct ExpectedControl {
    unsigned long style;
    int id;
    ControlKind kind;
    // Exact, except for an icon, which shows icon group 105, and for the
    // rights notice, of which only the first line is fixed.
    std::string text;
    short x, y, cx, cy;
};

struct ExpectedDialog {
    const char* name;
    std::string caption;
    short cx, cy;
    std::vector<ExpectedControl> controls;
};

inline bool IsIcon(const ExpectedControl& control) { return control.style == kIconStyle; }

// The product's name, then the maker's rights notice on two lines.
inline bool IsRightsNotice(const ExpectedControl& control) { return control.style == kCentredTextStyle; }

enum DialogIndex { kInstall, kProgress, kSuccess, kFail, kDialogCount };

inline std::vector<ExpectedDialog> ExpectedDialogs(const std::string& product, const std::string& folder)
{
    using K = ControlKind;
    return {
        {"IDD_INSTALL", product + " Installation Utility", 245, 100,
         {{kDefaultButtonStyle, 1, K::kButton, "Install", 188, 7, 50, 14},
          {kButtonStyle, 2, K::kButton, "Cancel", 188, 24, 50, 14},
          {kIconStyle, kUnaddressed, K::kStatic, "", 7, 7, 20, 20},
          {kTextStyle, kUnaddressed, K::kStatic,
           product + " is ready to be installed.  The software will be installed into the folder called:", 39, 7,
           141, 24},
          {kCentredLineStyle, kUnaddressed, K::kStatic, folder, 42, 40, 132, 10},
          {kTextStyle, kUnaddressed, K::kStatic,
           "There are no modifications made to your computer other than the creation of this folder and the "
           "creation of a shortcut on your Start menu.",
           39, 57, 141, 35}}},
        {"IDD_PROGRESS", product + " Installing", 237, 67,
         {{kButtonStyle, 2, K::kButton, "Cancel", 180, 7, 50, 14},
          {kProgressBarStyle, IDC_PROGRESS, K::kProgressBar, "Progress1", 19, 42, 193, 10},
          {kIconStyle, kUnaddressed, K::kStatic, "", 7, 7, 20, 20},
          {kCentredTextStyle, kUnaddressed, K::kStatic, product, 41, 7, 132, 26}}},
        {"IDD_SUCCESS", product + " - Install Complete", 257, 142,
         {{kDefaultButtonStyle, 1, K::kButton, "OK", 200, 7, 50, 14},
          {kIconStyle, kUnaddressed, K::kStatic, "", 7, 7, 20, 20},
          {kTextStyle, kUnaddressed, K::kStatic,
           "Congratulations!  The installation process has completed normally.", 40, 7, 151, 18},
          {kTextStyle, kUnaddressed, K::kStatic, "To play the game, look under your Start menu.", 40, 30, 152, 13},
          {kTextStyle, kUnaddressed, K::kStatic,
           "This software makes no changes outside of the installation folder \"" + folder +
               "\" except for the creation of a shortcut in your Start menu.",
           40, 46, 151, 37},
          {kTextStyle, kUnaddressed, K::kStatic, "We hope you enjoy the game!", 40, 119, 151, 12},
          {kTextStyle, kUnaddressed, K::kStatic,
           "To uninstall, simply delete this folder and all of it's contents, and then delete the shortcut from "
           "your Start menu.",
           40, 87, 151, 25}}},
        {"IDD_FAIL", product + " - Install Failed", 226, 55,
         {{kDefaultButtonStyle, 1, K::kButton, "OK", 169, 7, 50, 14},
          {kIconStyle, kUnaddressed, K::kStatic, "", 7, 7, 20, 20},
          {kTextStyle, kUnaddressed, K::kStatic,
           "The installation process was not completed.  You will have to run the installation utility again at a "
           "later time in order to play " +
               product + ".",
           37, 9, 127, 36}}},
    };
}
