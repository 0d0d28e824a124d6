// crew.h - the one block-parallel engine: a crew of coding threads.
//
// The blocks of a stream are independent, so the C interface's threaded
// calls and a stream's pipeline both hand them to a crew: helper threads,
// started when first needed and kept until the crew ends, each running the
// job it is given with its own number, while the thread that gave the job
// codes beside them. A job claims its blocks itself (an atomic counter in
// the job), so the crew knows nothing of blocks or codecs; whoever reports
// failures reports the lowest failing block's, so a result never depends on
// the number of threads. The threads are the C++ standard library's unless
// the owner names another source (a program that must start its threads
// its own way, with its signals kept from them, gives its own): the codec
// uses nothing of the program's platform layer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

// Where a crew's threads come from: start runs body(context) on a new
// thread and answers it, null when none could be made; join waits for it to
// end and releases it.
struct ThreadSource {
    void* (*start)(void (*body)(void* context), void* context);
    void (*join)(void* thread);
};
extern const ThreadSource StandardThreads;

class BlockCrew {
public:
    // A crew of up to helpers threads (0: none; every job runs on its giver).
    explicit BlockCrew(int helpers, const ThreadSource& source = StandardThreads)
        : wanted(helpers), source(source) {}
    ~BlockCrew() { Stop(); }
    BlockCrew(const BlockCrew&) = delete;
    BlockCrew& operator=(const BlockCrew&) = delete;

    // Gives job to every helper, as job(helper) with helper from 0 to
    // Helpers() - 1, and returns at once; the job object must stay until
    // Wait returns. The helpers are started at the first job; those that
    // the system refuses are done without.
    template <typename Job>
    void Start(Job& job) {
        Start(&job, [](void* context, int helper) { (*static_cast<Job*>(context))(helper); });
    }
    // Waits until every helper has finished the job.
    void Wait();
    // Ends the helpers, each after the job it is on; nothing is started again.
    void Stop();
    // The helpers that run (known after the first Start).
    int Helpers() const { return static_cast<int>(threads.size()); }

private:
    void Start(void* context, void (*run)(void*, int));
    void Serve(int helper);
    struct Helper {
        BlockCrew* crew;
        int number;
    };

    int wanted;
    const ThreadSource source;
    std::vector<Helper> helpers;  // each thread's own, made before any starts
    std::vector<void*> threads;
    std::mutex guard;
    std::condition_variable wake;  // a job, or the end
    std::condition_variable idle;  // every helper done
    void* jobContext = nullptr;
    void (*jobRun)(void*, int) = nullptr;
    std::uint64_t generation = 0;  // jobs given so far
    int busy = 0;                  // helpers on the current job
    bool quit = false;
};
