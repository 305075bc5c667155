#include "runner/runner.h"
// Placeholder until the loader lands.
int ExtensionRunner::Run(const WString&, const WString&) { return 0; }
