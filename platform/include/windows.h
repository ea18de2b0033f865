// POSIX stand-in for the Windows header of the same name: the runtime's
// declarations under their Windows names.
#pragma once
#include "velqo/api.h"
#include "winreg.h"
