#include "transferfunction/model.h"
