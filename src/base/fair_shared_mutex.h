#pragma once
// FairSharedMutex: a reader-writer lock on which a waiting writer holds back
// new readers, so a steady stream of overlapping readers (searches) cannot
// starve writers (adds) forever. Meets the SharedMutex requirements, so
// std::shared_lock / std::unique_lock work with it. Not recursive: a thread
// must not take it shared twice.
#include <pthread.h>

namespace tessello {

class FairSharedMutex {
public:
    FairSharedMutex();
    ~FairSharedMutex();
    FairSharedMutex(const FairSharedMutex&) = delete;
    FairSharedMutex& operator=(const FairSharedMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();
    void lock_shared();
    bool try_lock_shared();
    void unlock_shared();

private:
    pthread_rwlock_t lock_;
};

}  // namespace tessello
