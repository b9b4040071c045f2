#include "driver/run_lock.h"

#include "platform/win_api.h"

namespace tkr {
namespace {

constexpr wchar_t kMutexName[] = L"Global\\typekey-repair-changing-run";
// Only SYSTEM and Administrators may open it, so that no ordinary user can hold it.
constexpr wchar_t kMutexSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

} // namespace

DWORD RunLock::Take() {
    UniqueDescriptor descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexSddl, SDDL_REVISION_1,
                                                                descriptor.put(), nullptr)) {
        return ::GetLastError();
    }
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
    mutex_ = UniqueHandle(win::CreateMutexW(&security, FALSE, kMutexName));
    if (!mutex_) {
        // Made by someone the DACL shuts out: held, as far as this run can tell.
        const DWORD error = win::GetLastError();
        return error == ERROR_ACCESS_DENIED ? kLockHeld : error;
    }
    // A run that ended without letting go (killed) leaves it abandoned: free to take.
    const DWORD wait = win::WaitForSingleObject(mutex_.get(), 0);
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (held_) {
        return ERROR_SUCCESS;
    }
    return wait == WAIT_TIMEOUT ? kLockHeld : win::GetLastError();
}

RunLock::~RunLock() {
    if (held_) {
        win::ReleaseMutex(mutex_.get());
    }
}

} // namespace tkr
