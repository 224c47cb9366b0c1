// Window registrations (internal to the platform): how the windows of one
// process are found by the other processes of the same device.
//
// The device's runtime folder (<root>/run, private to the device's owner)
// holds one small file per published window, "w-<handle as 8 lower-case hex
// digits>", naming the owner's pid and socket and the window's class and
// name. A file is written whole under a temporary name and renamed, so a
// reader never sees half of one; a file that does not parse is no window.
// What a registration names is not trusted to say what may be deleted: the
// caller checks that its owner still answers (window_ipc.cc).
//
// Any thread; nothing here keeps state.
#ifndef HOLLOWMARCH_PLATFORM_WINDOW_REGISTRATION_H_
#define HOLLOWMARCH_PLATFORM_WINDOW_REGISTRATION_H_

#include <string>

#include "platform/types.h"

namespace platform::ipc {

// A window's registration, as another process reads it.
struct Registration {
  long pid = 0;
  std::string endpoint;  // socket path, or "@name" in the abstract namespace
  std::u16string class_name;
  std::u16string name;
};

// The device's runtime folder.
std::string RunDir(const std::string& root);

// Makes the runtime folder where missing. A folder that someone else owns
// (or that is not a folder) is refused; one of ours that others could enter
// is closed to them. False when it cannot be had.
bool EnsureRunDir(const std::string& root);

// The registration file of `hwnd` on the device at `root`.
std::string RegistrationPath(const std::string& root, HWND hwnd);

// The window handle a registration file's name stands for; false for any
// other file of the runtime folder (and for handle 0).
bool ParseRegistrationName(const char* file_name, HWND* hwnd);

// Writes the registration at `path` whole (temporary file and rename, mode
// 0600). False, leaving no file behind, when it could not be written.
bool WriteRegistration(const std::string& path, const Registration& r);

// Reads the registration at `path`; false when it is missing, unreadable,
// cut short or malformed.
bool ReadRegistration(const std::string& path, Registration* r);

}  // namespace platform::ipc

#endif  // HOLLOWMARCH_PLATFORM_WINDOW_REGISTRATION_H_
