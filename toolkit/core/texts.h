// Every text the tray program shows or exposes, exactly as users and sibling programs see it.
#pragma once

namespace qz::toolkit::text {

inline constexpr char kResidentLock[] = "Tarvanel KRX Resident Application Mutex";
inline constexpr char kSiblingLock[] = "Tarvanel KRX Application Mutex";
inline constexpr char kRefused[] =
    "Warning: Tarvanel ToolKit cannot start because Tarvanel KRX Resident Application is running.";
inline constexpr char kRefusedCaption[] = "Application cannot start.";

inline constexpr char kTip[] = "Tarvanel Tool Kit";
inline constexpr char kTipEnabled[] = "Tarvanel Tool Kit (Touch Enabled)";
inline constexpr char kTipDisabled[] = "Tarvanel Tool Kit (Touch Disabled)";
inline constexpr char kInfoEnabled[] = "KRX Device Touch Enabled.";
inline constexpr char kInfoDisabled[] = "KRX Device Touch Disabled.";
inline constexpr char kInfoTitle[] = "QZToolKit";

inline constexpr char kMarkerIdle[] = "Tarvanel KRX Resident Application Window";
inline constexpr char kMarkerActive[] = "Tarvanel KRX Resident Application Active";

// String table of the main window (605 belongs to the log).
inline constexpr char kStr601[] = "Tarvanel Device touch disabled at abnormal state.";
inline constexpr char kStr603[] = "QZToolKit : KRX Device Touch Disabled";
inline constexpr char kStr604[] = "Please remove palm or water.";
inline constexpr char kStr607[] = "QZToolKit : Reset Touch Panel";
inline constexpr char kStr608[] = "Do you want to reset touch panel?";
inline constexpr char kStr609[] = "Reset touch panel finish.";

// Texts the window carries before the program sets any.
inline constexpr char kTemplateCaption[] = "QZToolKit : KRX Device Touch Disabled";
inline constexpr char kTemplate500[] = "Tarvanel Device touch disabled at abnormal state.";
inline constexpr char kTemplate501[] = "Please remove palm or water";
inline constexpr char kOk[] = "OK";
inline constexpr char kWait[] = "Wait";

// Tray menu.
inline constexpr char kMenuReset[] = "&Reset Touch Panel";
inline constexpr char kMenuWater[] = "&Water Mode";
inline constexpr char kMenuDevice0[] = "Device &0";
inline constexpr char kMenuLog[] = "&Log FW Info";
inline constexpr char kMenuNotify[] = "&Show Notification";
inline constexpr char kMenuExit[] = "&Exit";
inline constexpr char kVersionFormat[] = "APP ver : 1.1.%d";
inline constexpr int kBuildNumber = 10;

inline constexpr char kUndefinedError[] = "Undefine error.";

}  // namespace qz::toolkit::text
