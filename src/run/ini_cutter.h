// Cutting the lines key=value that an installer wrote straight into a
// section of a configuration file (pure, over a buffer).
#ifndef KIV_RUN_INI_CUTTER_H_
#define KIV_RUN_INI_CUTTER_H_

namespace kiv {}  // namespace kiv

#endif  // KIV_RUN_INI_CUTTER_H_
