// The Program Manager conversation held for the process.
#ifndef KIV_RUN_SHELL_CONVERSATION_H_
#define KIV_RUN_SHELL_CONVERSATION_H_

namespace kiv {}  // namespace kiv

#endif  // KIV_RUN_SHELL_CONVERSATION_H_
