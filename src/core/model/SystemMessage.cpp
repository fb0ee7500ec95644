#include "core/model/SystemMessage.h"
