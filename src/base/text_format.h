// Texts built from one whole message template and its values, printf-style, so the compiler
// checks every value against its place in the template.
#pragma once

#include <cstdarg>
#include <string>

// The format attribute of a function taking a template (argument formatIndex, counted from 1)
// and its values from argument firstValue on. MinGW's libstdc++ uses its own conforming printf
// (so %llu works on every Windows), which the compiler knows as gnu_printf.
#if defined(__MINGW32__)
#define LUMO_PRINTF(formatIndex, firstValue) \
  __attribute__((format(gnu_printf, formatIndex, firstValue)))
#elif defined(__GNUC__) || defined(__clang__)
#define LUMO_PRINTF(formatIndex, firstValue) \
  __attribute__((format(printf, formatIndex, firstValue)))
#else
#define LUMO_PRINTF(formatIndex, firstValue)
#endif

namespace lumo {

// The template filled with the values; empty when the template cannot be filled.
std::string FormatText(const char* format, ...) LUMO_PRINTF(1, 2);
std::string FormatTextV(const char* format, va_list values) LUMO_PRINTF(1, 0);

}  // namespace lumo
