/* An entry declared in C. */
#include <extrun/extension.h>

EXTRUN_ENTRY(RunFromC) { (void)commandLine; }
