// Whether a box this process shows can be seen by anybody: a run without /S
// asks its question and tells its end in boxes, and a box nobody sees waits
// for ever (an agent running as SYSTEM would hang on it for days).
//
// Pure: the facts come from platform::ReadDesktopFacts.
#ifndef KIV_RUN_DESKTOP_POLICY_H_
#define KIV_RUN_DESKTOP_POLICY_H_

#include "platform/win32.h"

namespace kiv {

// The 95 family always has its one visible desktop. On the NT family a
// window station without WSF_VISIBLE (a service's) has none, and from Vista
// on session 0 is the services' alone, which no user sees. What could not
// be read counts as seen: the question is asked as it always was.
inline bool BoxesCanBeSeen(const platform::DesktopFacts& facts) {
  if (!facts.nt_family) return true;
  if (facts.station_known && !facts.station_visible) return false;
  return !(facts.major_version >= 6 && facts.session_known && facts.session == 0);
}

}  // namespace kiv

#endif  // KIV_RUN_DESKTOP_POLICY_H_
