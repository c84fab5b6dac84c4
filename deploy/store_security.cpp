#include "store.h"

#include <aclapi.h>

UniqueLocalMemory ReadFolderSecurity(HANDLE folder)
{
    UniqueLocalMemory descriptor;
    const DWORD error =
        ::GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, descriptor.put());
    if (error != ERROR_SUCCESS) {
        descriptor.reset();
    }
    return descriptor;
}
