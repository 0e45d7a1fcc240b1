#include "engine/text_util.h"
