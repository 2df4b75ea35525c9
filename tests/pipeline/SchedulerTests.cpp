#include "pipeline/Scheduler.h"
