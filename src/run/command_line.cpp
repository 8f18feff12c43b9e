#include "run/command_line.h"

namespace kiv {

const char* CommandLineRemainder(const char* line, LeadByteTest is_lead_byte) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(line);
  if (*p == '"') {
    ++p;
    while (*p != '\0' && *p != '"') {
      // A trail byte may have the value of a quote; it belongs to its lead.
      if (is_lead_byte && is_lead_byte(*p) && p[1] != '\0') {
        p += 2;
      } else {
        ++p;
      }
    }
    if (*p == '\0') return reinterpret_cast<const char*>(p);  // no closing quote
    ++p;  // the closing quote goes with the name
  } else {
    while (*p > ' ') ++p;
  }
  while (*p != '\0' && *p <= ' ') ++p;
  return reinterpret_cast<const char*>(p);
}

}  // namespace kiv
