// heldmodule.dll: a DLL that does nothing, for holdfile --load to keep
// loaded from an install folder as a running program of the product keeps
// its modules.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
