#include "base/text_format.h"

#include <cstdio>

namespace lumo {

std::string FormatText(const char* format, ...) {
  va_list values;
  va_start(values, format);
  std::string text = FormatTextV(format, values);
  va_end(values);
  return text;
}

std::string FormatTextV(const char* format, va_list values) {
  // Most texts fit the first try; a longer one is measured and formatted again.
  char buffer[512];
  va_list again;
  va_copy(again, values);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, values);
  std::string text;
  if (length > 0 && static_cast<size_t>(length) < sizeof buffer) {
    text.assign(buffer, static_cast<size_t>(length));
  } else if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(&text[0], text.size(), format, again);
    text.resize(static_cast<size_t>(length));
  }
  va_end(again);
  return text;
}

}  // namespace lumo
