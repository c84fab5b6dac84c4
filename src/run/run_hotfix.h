#pragma once

#include "run/outcome.h"

// Runs the hotfix from the version gate on, one run at a time on the
// machine: gates, copy plan, success entry. Every way out is an outcome:
// applied, failed as the run raised it, or failed after any other
// exception, which is logged.
OutcomeCode RunHotfix();

// The outcome that body raises; the failed outcome, logged as an unexpected
// error, when it raises anything else or returns without an outcome.
OutcomeCode OutcomeOf(void (*body)());
