// The one translation unit that defines the interface and class identifiers
// declared by the headers.
#define INITGUID
#include <windows.h>
#include <mstask.h>
