// Getting libumockdev-preload into the process that does the device I/O.
//
// A test program calls reexecWithPreload() first thing in main(): when the
// preload library is installed but not active, the program starts itself
// again with LD_PRELOAD set (and, under AddressSanitizer, the link-order
// check off); otherwise it returns and the program goes on as it is (its
// umockdev tests then skip). The library qbsim_usb_gtest_main is such a main()
// for GoogleTest programs.
#ifndef QBSIM_USB_PRELOAD_H
#define QBSIM_USB_PRELOAD_H

#include <string>

namespace qbsim::usb {

// The soname put into LD_PRELOAD.
inline constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";

// Whether libumockdev-preload is loaded into this process.
bool preloadActive();

// Whether the preload library is installed.
bool preloadInstalled();

// The LD_PRELOAD value for a child: the current one with the library added.
std::string preloadValue();

// ASAN_OPTIONS for a preloaded program: the current ones with the sanitizer's
// link-order check off (harmless for programs built without it).
std::string asanOptionsWithPreload();

// See above. Returns only when no re-execution happened.
void reexecWithPreload(int argc, char** argv);

} // namespace qbsim::usb

#endif
