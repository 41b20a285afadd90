#pragma once

// The boundary between checkfeed and its window. On Linux the window is a module loaded at run
// time (checkfeed-window.so, Qt) so that the program itself links no toolkit: a machine without
// a desktop installs and runs it without Qt or X. On Windows it is plain Win32, linked in
// (shell/window/win32). The program does not know which window it got.
//
// The module is plain C at its edge: one entry point that takes the program's hooks and returns
// an exit code. The window owns the timer's notifier and carries the three events (show, tick,
// close) and what the port says between ticks; the program behind the hooks does the work. Every
// hook returns normally: nothing is thrown across this line.

#include <stddef.h>
#include <stdint.h>

extern "C" {

// Something the window's event loop waits for: a file descriptor that becomes readable on Linux,
// a waitable HANDLE that becomes signalled on Windows.
struct CheckfeedWake {
  intptr_t native;
};

// What the failure box shows: its title and its text, one line a failure, lines ending in '\n'.
struct CheckfeedBox {
  const char* title;
  const char* text;
};

struct CheckfeedWindowHooks {
  void* context;  // handed back to every hook

  // Starts the beat and returns what is ready when a tick is due, or a `native` of -1 with
  // `error` (of `errorSize` bytes) saying why. Called once, when the window is created.
  CheckfeedWake (*start_timer)(void* context, char* error, size_t errorSize);
  // Ready while a stop request (SIGTERM, SIGINT, SIGHUP; Ctrl+C on Windows) is pending.
  CheckfeedWake stop;
  // Consumes a pending stop signal; nonzero when there was one.
  int (*take_stop)(void* context);

  // The window's events. `show` and `tick` return what the failure box shows now (opened if it
  // is not, valid until the next call), or NULL when the box stays as it is.
  const CheckfeedBox* (*show)(void* context);
  const CheckfeedBox* (*tick)(void* context);
  // Ready when the port has something to say (what the device sent, that it went away); the same
  // for the program's whole run. Called once, after start_timer.
  CheckfeedWake (*input)(void* context);
  // The port said something: the program takes it. Returns what the box shows, as `tick` does.
  const CheckfeedBox* (*heard)(void* context);
  void (*close)(void* context);
  // The user answered the box: the next failure opens a new one.
  void (*dismissed)(void* context);
  // A failure that ends the window, and the program with it: the program tells it where it
  // tells failures (stderr, the log); the window shows it in a message box.
  void (*fatal)(void* context, const char* message);
};

// What checkfeed_window_run returns when there is no display it can open: nothing was shown,
// and the program runs without a window.
#define CHECKFEED_WINDOW_NO_DISPLAY (-1)

// Shows the window and runs until it is closed. Returns the program's exit code, or
// CHECKFEED_WINDOW_NO_DISPLAY. The name carries the version of this interface.
int checkfeed_window_run_v3(int* argc, char** argv, const CheckfeedWindowHooks* hooks);
typedef int (*CheckfeedWindowRun)(int* argc, char** argv, const CheckfeedWindowHooks* hooks);

}  // extern "C"
