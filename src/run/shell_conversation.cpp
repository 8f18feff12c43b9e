#include "run/shell_conversation.h"
