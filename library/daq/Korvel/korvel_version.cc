// korvel_version.cc - the release this plug-in was built from, as text in
// the library file, so that `strings libKorvel.so | grep libKorvel` tells a
// facility which one it runs. It is neither exported nor printed: the
// plug-in's output stays exactly what the reader's users know.
#ifndef KORVEL_VERSION
#define KORVEL_VERSION "unknown"
#endif

// `used` keeps the otherwise unreferenced text in the library.
__attribute__((used)) static const char korvel_version_text[] = "libKorvel " KORVEL_VERSION;
