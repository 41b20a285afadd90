// A small X client for the window tests.
//
//   xwindow find TITLE    ids of the viewable windows whose title is exactly TITLE, one a line
//   xwindow frame ID      outer geometry "x y width height", window-manager frame included
//   xwindow close ID      asks the window to close (WM_DELETE_WINDOW), as a close button does
//   xwindow wm            exits 0 once a window manager runs (_NET_SUPPORTING_WM_CHECK is set)

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Title(Display* display, Window window) {
  XTextProperty property{};
  if (XGetWMName(display, window, &property) == 0 || property.value == nullptr) {
    return {};
  }
  std::string title(reinterpret_cast<const char*>(property.value), property.nitems);
  XFree(property.value);
  return title;
}

void Find(Display* display, Window window, const std::string& title, std::vector<Window>& found) {
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(display, window, &attributes) != 0 &&
      attributes.map_state == IsViewable && Title(display, window) == title) {
    found.push_back(window);
  }
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) {
    return;
  }
  for (unsigned i = 0; i < count; ++i) {
    Find(display, children[i], title, found);
  }
  XFree(children);
}

// The ancestor that is a direct child of the root: the frame under a window manager, or the
// window itself without one.
Window TopLevel(Display* display, Window window) {
  for (;;) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) {
      return window;
    }
    XFree(children);
    if (parent == root) {
      return window;
    }
    window = parent;
  }
}

int Usage() {
  std::fputs("usage: xwindow find TITLE | frame ID | close ID | wm\n", stderr);
  return 2;
}

}  // namespace

bool WindowManagerRuns(Display* display) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  const bool set =
      XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, XA_WINDOW, &type,
                         &format, &count, &after, &data) == Success &&
      count == 1;
  XFree(data);
  return set;
}

// Windows come and go while we walk the tree (a message box closing, a frame being made): a
// request about one that is gone fails with BadWindow, and Xlib's default handler would end
// this tool with status 1. The calls report the failure instead, and the walk goes on.
int IgnoreError(Display* /*display*/, XErrorEvent* /*error*/) {
  return 0;
}

int main(int argc, char** argv) {
  XSetErrorHandler(IgnoreError);
  if (argc == 2 && std::string(argv[1]) == "wm") {
    Display* display = XOpenDisplay(nullptr);
    const bool runs = display != nullptr && WindowManagerRuns(display);
    if (display != nullptr) {
      XCloseDisplay(display);
    }
    return runs ? 0 : 1;
  }
  if (argc != 3) {
    return Usage();
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fputs("xwindow: cannot open the display\n", stderr);
    return 1;
  }
  const std::string command = argv[1];
  if (command == "find") {
    std::vector<Window> found;
    Find(display, DefaultRootWindow(display), argv[2], found);
    for (const Window window : found) {
      std::printf("%lu\n", window);
    }
  } else if (command == "frame") {
    const Window frame = TopLevel(display, std::strtoul(argv[2], nullptr, 0));
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, frame, &attributes) == 0) {
      std::fputs("xwindow: no such window\n", stderr);
      XCloseDisplay(display);
      return 1;
    }
    std::printf("%d %d %d %d\n", attributes.x, attributes.y,
                attributes.width + 2 * attributes.border_width,
                attributes.height + 2 * attributes.border_width);
  } else if (command == "close") {
    const Window window = std::strtoul(argv[2], nullptr, 0);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
  } else {
    XCloseDisplay(display);
    return Usage();
  }
  XCloseDisplay(display);
  return 0;
}
