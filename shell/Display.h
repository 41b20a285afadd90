#pragma once

namespace shell {

// Whether a window can be shown. QApplication aborts the process when it cannot open its
// display, so this is asked first: an X server that accepts a connection, or the Wayland or
// other platform the user chose with QT_QPA_PLATFORM. "offscreen" and "minimal" show nothing a
// user could see, so they count as no display: failures then go to stderr.
bool DisplayAvailable();

}  // namespace shell
