// Reading finished recordings in the scheduler tests: the shared recording
// check.
#pragma once

#include "tests/support/RecordingCheck.h"
