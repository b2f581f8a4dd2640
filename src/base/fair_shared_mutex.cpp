#include "base/fair_shared_mutex.h"

namespace tessello {

FairSharedMutex::FairSharedMutex() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock_, &attr);
    pthread_rwlockattr_destroy(&attr);
}

FairSharedMutex::~FairSharedMutex() { pthread_rwlock_destroy(&lock_); }

void FairSharedMutex::lock() { pthread_rwlock_wrlock(&lock_); }
bool FairSharedMutex::try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
void FairSharedMutex::unlock() { pthread_rwlock_unlock(&lock_); }
void FairSharedMutex::lock_shared() { pthread_rwlock_rdlock(&lock_); }
bool FairSharedMutex::try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
void FairSharedMutex::unlock_shared() { pthread_rwlock_unlock(&lock_); }

}  // namespace tessello
