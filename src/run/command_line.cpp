#include "run/command_line.h"

namespace kiv {

namespace {

bool IsBlank(uint8_t c) { return c != '\0' && c <= ' '; }

const uint8_t* SkipBlanks(const uint8_t* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

// Past the closing quote of a quoted text that starts after its opening
// quote at p; null when the quote is never closed. A lead byte takes the
// following byte with it, so a trail byte of a quote's value closes nothing.
const uint8_t* PastClosingQuote(const uint8_t* p, LeadByteTest is_lead_byte) {
  while (*p != '\0' && *p != '"') {
    if (is_lead_byte && is_lead_byte(*p) && p[1] != '\0') {
      p += 2;
    } else {
      ++p;
    }
  }
  return *p == '"' ? p + 1 : nullptr;
}

bool EndsWord(uint8_t c) { return c <= ' '; }

// /LOG= at p: the path into *log; the byte after the switch, or null when
// the switch is not well formed.
const uint8_t* ReadLogSwitch(const uint8_t* p, LeadByteTest is_lead_byte, LongString* log) {
  const uint8_t* start = p;
  const uint8_t* end = nullptr;
  if (*p == '"') {
    ++start;
    end = PastClosingQuote(start, is_lead_byte);
    if (end == nullptr || !EndsWord(*end)) return nullptr;
    p = end;
    --end;  // at the closing quote
  } else {
    // A quote inside an unquoted path could not be handed on to the copy
    // unchanged (its line quotes the path): no such path is taken.
    while (!EndsWord(*p)) {
      if (*p == '"') return nullptr;
      ++p;
    }
    end = p;
  }
  const uint32_t length = static_cast<uint32_t>(end - start);
  log->Clear();
  if (length == 0 || !log->AppendN(reinterpret_cast<const char*>(start), length)) return nullptr;
  return p;
}

// The words that mean /S, as other installers and the system installer
// spell it; those that mean /PASSIVE (an installer's /SILENT shows its
// progress, /VERYSILENT nothing); and the words accepted that change
// nothing here (this program never restarts the system).
// The first kQuietWords of them show nothing at all.
constexpr const char* kSilentWords[] = {"/S",       "/VERYSILENT", "/SUPPRESSMSGBOXES",
                                        "/QUIET",   "/QN",         "/PASSIVE",
                                        "/SILENT",  "/QB",         "/QB-",
                                        "/QB!"};
constexpr int kQuietWords = 5;
constexpr const char* kIgnoredWords[] = {"/NORESTART"};

bool IsWord(const char* s, uint32_t n, const char* name) {
  return LengthWithin(name, n + 1) == n && EqualsIgnoreAsciiCase(s, name, n);
}

// A switch that is its name alone, the n bytes at s: applied to out, true
// when it is one.
bool ApplyNamedSwitch(const char* s, uint32_t n, Switches* out) {
  for (int i = 0; i < static_cast<int>(sizeof(kSilentWords) / sizeof(kSilentWords[0])); ++i) {
    if (IsWord(s, n, kSilentWords[i])) {
      out->run.silent = true;
      if (i >= kQuietWords) out->run.progress = true;
      return true;
    }
  }
  for (const char* name : kIgnoredWords) {
    if (IsWord(s, n, name)) return true;
  }
  if (IsWord(s, n, "/PLAN")) {
    out->run.plan = true;
    return true;
  }
  if (IsWord(s, n, "/FORCE")) {
    out->run.unlist_anyway = true;
    return true;
  }
  return false;
}

// A switch written whole inside quotes, the n bytes at s: a named one, or
// /LOG= with the rest as its path (blanks and all).
bool ApplyWholeSwitch(const char* s, uint32_t n, Switches* out) {
  if (ApplyNamedSwitch(s, n, out)) return true;
  if (n <= 5 || !EqualsIgnoreAsciiCase(s, "/LOG=", 5)) return false;
  for (uint32_t i = 5; i < n; ++i) {
    if (s[i] == '"') return false;  // could not be handed on unchanged
  }
  out->log.Clear();
  return out->log.AppendN(s + 5, n - 5);
}

}  // namespace

const char* CommandLineRemainder(const char* line, LeadByteTest is_lead_byte) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(line);
  if (*p == '"') {
    p = PastClosingQuote(p + 1, is_lead_byte);
    if (p == nullptr) return line + LengthWithin(line, 0xFFFFFFFFu);  // no closing quote
  } else {
    while (*p > ' ') ++p;
  }
  return reinterpret_cast<const char*>(SkipBlanks(p));
}

uint32_t WordLength(const char* word) {
  uint32_t n = 0;
  while (!EndsWord(static_cast<uint8_t>(word[n]))) ++n;
  return n;
}

Switches ParseSwitches(const char* remainder, LeadByteTest is_lead_byte) {
  Switches out;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(remainder);
  while (*p == '/' || (*p == '"' && p[1] == '/')) {
    const char* word = reinterpret_cast<const char*>(p);
    const uint8_t* next = nullptr;
    // Where the word ends: at its closing quote when it is quoted whole.
    const uint8_t* word_end = p + WordLength(word);
    if (*p == '"') {
      // The whole switch in quotes, as shells quote a word with a blank.
      const uint8_t* end = PastClosingQuote(p + 1, is_lead_byte);
      if (end != nullptr && EndsWord(*end)) {
        word_end = end;
        if (ApplyWholeSwitch(word + 1, static_cast<uint32_t>(end - p - 2), &out)) next = end;
      }
    } else if (ApplyNamedSwitch(word, WordLength(word), &out)) {
      next = p + WordLength(word);
    } else if (IsWord(word, WordLength(word), "/LOG")) {
      out.log.Clear();
      out.log_default = true;
      next = p + 4;
    } else if (EqualsIgnoreAsciiCase(word, "/LOG=", 5)) {
      next = ReadLogSwitch(p + 5, is_lead_byte, &out.log);
      if (next) out.log_default = false;
    }
    if (next == nullptr) {
      // The first unknown word is the one to name; the words after it are
      // still read, so a /S after it keeps the run silent.
      if (out.unknown == nullptr) out.unknown = word;
      next = word_end;
    }
    p = SkipBlanks(next);
  }
  out.path = reinterpret_cast<const char*>(p);
  return out;
}

bool MakeHandoffRemainder(const RunOptions& run, const char* own, LeadByteTest is_lead_byte,
                          HandoffRemainder* out) {
  out->Clear();
  if ((run.silent && (!out->Append(run.progress ? "/PASSIVE" : "/S") || !out->Append(" "))) ||
      (run.plan && !out->Append("/PLAN ")) ||
      (run.unlist_anyway && !out->Append("/FORCE ")) ||
      (run.report &&
       (!out->Append("/LOG=\"") || !out->Append(run.report) || !out->Append("\" "))) ||
      !out->Append(own)) {
    return false;
  }
  const Switches read = ParseSwitches(out->c_str(), is_lead_byte);
  return read.unknown == nullptr && read.run.silent == run.silent &&
         read.run.progress == (run.silent && run.progress) && read.run.plan == run.plan &&
         read.run.unlist_anyway == run.unlist_anyway &&
         SameBytes(read.log.c_str(), run.report ? run.report : "") && SameBytes(read.path, own);
}

}  // namespace kiv
