#include "TestScanner.h"
