#include "walk/glob.h"
