// Whether this process can open windows.
#pragma once

namespace qtui {

// True when DISPLAY or WAYLAND_DISPLAY is set and not empty. Without a
// display the program talks on the terminal instead of opening windows.
bool HasDisplay();

}  // namespace qtui
