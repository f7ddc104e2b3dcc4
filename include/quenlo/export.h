/* Marks what libquenlo.so exports. The library is compiled with hidden
   visibility, so a declaration without QUENLO_API stays inside it. A static
   library needs no mark, and the Windows builds make only a static one. */
#ifndef QUENLO_EXPORT_H
#define QUENLO_EXPORT_H

#if defined(__GNUC__) && !defined(_WIN32)
#define QUENLO_API __attribute__((visibility("default")))
#else
#define QUENLO_API
#endif

#endif
