#include "run/ini_cutter.h"
