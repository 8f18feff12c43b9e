#include "run/directory_chain.h"

namespace kiv {

void DirectoryChain::ReleaseFrom(const DirectoryHolding& holding, uint32_t level) {
  while (depth_ > level) {
    --depth_;
    holding.release(handles_[depth_]);
    handles_[depth_] = nullptr;
  }
}

void DirectoryChain::ReleaseAll(const DirectoryHolding& holding) {
  ReleaseFrom(holding, 0);
  path_[0] = '\0';
}

// path fits: the caller read it into a PathString.
void DirectoryChain::Remember(const char* path) {
  BoundedPut(path_, sizeof(path_), 0, path, LengthWithin(path, sizeof(path_)));
}

bool DirectoryChain::CrossesLink(const DirectoryHolding& holding, const char* path,
                                 uint32_t root, LeadByteTest is_lead_byte,
                                 bool (*fallback)(const char* directory)) {
  PathString read;
  if (!read.Assign(path)) {
    ReleaseAll(holding);
    return true;
  }
  char* text = read.data();
  uint32_t level = 0;
  // The directories the last path held and this one passes through too
  // stay held; the first that differs and everything below it go.
  bool same = true;
  bool holds = true;  // false once a directory could not be held
  for (uint32_t i = root; text[i] != '\0'; ++i) {
    if (is_lead_byte(static_cast<uint8_t>(text[i])) && text[i + 1] != '\0') {
      ++i;
      continue;
    }
    if (text[i] != '\\') continue;
    if (same && level < depth_ && ends_[level] == i) {
      uint32_t k = 0;
      while (k < i && path_[k] == text[k]) ++k;
      if (k == i) {
        ++level;
        continue;
      }
    }
    if (same) {
      same = false;
      ReleaseFrom(holding, level);
      Remember(path);
    }
    text[i] = '\0';
    bool is_link = false;
    void* handle = holds && level < kMaxHeld ? holding.hold(text, &is_link) : nullptr;
    if (handle == nullptr && !is_link) {
      holds = false;
      is_link = fallback(text);
    }
    text[i] = '\\';
    if (is_link) {
      // What was held above it stays held: only where this path leads is
      // refused.
      ReleaseFrom(holding, level);
      return true;
    }
    if (handle != nullptr) {
      handles_[level] = handle;
      ends_[level] = static_cast<uint16_t>(i);
      depth_ = ++level;
    }
  }
  // Held directories below the last one this path passes through.
  if (same) ReleaseFrom(holding, level);
  return false;
}

}  // namespace kiv
