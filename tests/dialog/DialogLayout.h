// The settings dialog's controls as the design's table gives them, written out by hand.
#pragma once

struct ExpectedControl {
  int id;
  const char* kind;  // as ShownControl::kind
  const char* text;
  int x, y, width, height;  // dialog units
};

inline constexpr ExpectedControl kExpectedControls[] = {
    {1, "defbutton", "OK", 33, 210, 50, 14},
    {2, "button", "Annuler", 91, 210, 50, 14},
    {1014, "button", "Mover Functions", 89, 164, 70, 14},
    {1015, "button", "Mover Diagnostics", 14, 165, 71, 14},
    {1016, "button", "Mover Connect", 15, 184, 70, 14},
    {1017, "button", "Show Tool Bar", 29, 132, 50, 14},
    {1018, "button", "Hide ToolBar", 87, 132, 50, 14},
    {1019, "button", "Show Status", 27, 105, 50, 14},
    {1020, "button", "Hide Status", 85, 105, 50, 14},
    {1021, "button", "Sensor Set...", 93, 34, 72, 14},
    {1022, "button", "IDM Settings...", 93, 52, 72, 14},
    {1023, "button", "Autoexposure...", 14, 34, 73, 14},
    {1024, "button", "Calibrate", 14, 53, 71, 14},
    {1025, "button", "User Options...", 55, 71, 73, 14},
    {1026, "button", "Mover DisConnect", 90, 183, 69, 14},
    {1027, "check", "Always Lumora ToolBar when starting...", 15, 120, 156, 10},
    {-1, "group", "Lumora ToolBar", 7, 23, 170, 127},
    {-1, "group", "Mover", 7, 151, 165, 55},
    {1028, "check", "Always Lumora Status when starting...", 14, 90, 154, 10},
    {1029, "check",
     "Lumora sounds only when scanning (current line is not available with this mode)", 14, 7, 166,
     17},
};

// Button ID and the command code it sends.
struct ButtonCode {
  int id;
  int code;
};

inline constexpr ButtonCode kButtonCodes[] = {
    {1023, 3954}, {1021, 3952}, {1024, 3953}, {1022, 3955}, {1025, 3967},
    {1019, 3958}, {1020, 3959}, {1017, 3956}, {1018, 3957}, {1014, 3921},
    {1015, 3920}, {1016, 3968}, {1026, 3969},
};
