/* Two entries, and an import of dep.dll. */
#include <extrun/extension.h>

__declspec(dllimport) int DepValue(void);

EXTRUN_ENTRY(Run) { (void)commandLine; (void)DepValue(); }
EXTRUN_ENTRY(Stop) { (void)commandLine; }
