#pragma once

namespace window {

// Whether the display the program found can be opened. QApplication aborts the process when it
// cannot open its display, so this is asked first: the X server must let us in (a socket that
// answers is not enough: it may refuse us). Other platforms (Wayland, or what QT_QPA_PLATFORM
// chose) were checked by the program before it loaded the window.
bool DisplayAvailable();

}  // namespace window
