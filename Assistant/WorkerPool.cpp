#include "WorkerPool.h"

WorkerPool::WorkerPool(unsigned threads)
{
    for (unsigned i = 0; i < threads; ++i)
        mThreads.emplace_back(&WorkerPool::Run, this);
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEnding = true;
    }
    mWake.notify_all();
    for (std::thread& thread : mThreads)
        thread.join();
}

void WorkerPool::Submit(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mTasks.push_back(std::move(task));
    }
    mWake.notify_one();
}

void WorkerPool::Run()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mMutex);
            mWake.wait(lock, [this] { return mEnding || !mTasks.empty(); });
            if (mTasks.empty())
                return;
            task = std::move(mTasks.front());
            mTasks.pop_front();
        }
        task();
    }
}
