#include "jobs/system_jobs.h"
