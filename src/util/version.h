// The program's version text, shown in the banner, the help and the status page.
#ifndef QUILLRADE_UTIL_VERSION_H_
#define QUILLRADE_UTIL_VERSION_H_

constexpr char kQuillradeVersion[] = "0.59";

#endif  // QUILLRADE_UTIL_VERSION_H_
