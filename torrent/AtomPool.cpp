#include "torrent/AtomPool.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "torrent/Atom.h"

#if defined(__SANITIZE_ADDRESS__)
#define MORVANE_ATOM_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MORVANE_ATOM_POOL 0
#endif
#endif
#ifndef MORVANE_ATOM_POOL
#define MORVANE_ATOM_POOL 1
#endif

namespace morvane {

#if MORVANE_ATOM_POOL

namespace atompool {

namespace {

// Each thread carves blocks from chunks of its own, front to back, and keeps freed blocks
// on free lists by size. The common case takes no lock.
//
// Decoding fills a tree and then drops it whole; a free list hands the blocks out again in
// scattered order, and each take then waits on a cold block for the next link. So when no
// block of the thread's own chunks is in use anywhere, the thread forgets its free lists
// and carves its chunks afresh from the front.
//
// A block may be freed on any thread; it joins that thread's lists (of its own blocks or
// of others'). A chunk's header names the thread that carves it, so `outstanding` counts
// the blocks of the thread's own chunks that are in use or on other threads' lists; only
// at zero is rewinding safe, and it forgets the list of its own blocks only. Every
// chunk stays linked from a global and is never given back, so leak checkers see pooled
// memory as reachable and a block never outlives its chunk.

struct FreeBlock {
  FreeBlock* next;
};

struct ChunkHeader {
  void* nextOfAll;           // guarded by sharedMutex
  ChunkHeader* nextOfOwner;  // the owner's chunks in carving order
  std::uint64_t owner;       // the carving thread's number
  std::uint64_t reserved;
};

constexpr std::uint64_t kNoOwner = ~std::uint64_t{0};  // chunks made for ended threads
constexpr std::size_t kStep = kBlockAlignment;
constexpr std::size_t kClasses = kLargestBlock / kStep;
// One huge page: a large tree then costs few page faults and few TLB entries.
constexpr std::size_t kChunkBytes = std::size_t{2} << 20;
static_assert(sizeof(ChunkHeader) % kStep == 0);

std::size_t ClassOf(std::size_t bytes) {
  return (bytes + kStep - 1) / kStep - 1;
}

ChunkHeader* ChunkOf(void* block) {
  return reinterpret_cast<ChunkHeader*>(reinterpret_cast<std::uintptr_t>(block) &
                                        ~(std::uintptr_t{kChunkBytes} - 1));
}

std::mutex sharedMutex;
void* allChunks = nullptr;              // guarded
FreeBlock* spareBlocks[kClasses] = {};  // guarded; blocks of ended threads
ChunkHeader* spareChunks = nullptr;     // guarded; whole chunks of ended threads
std::uint64_t lastThreadNumber = 0;     // guarded

// Plain thread-locals without destructors, so that they stay usable while the thread's
// other thread-local objects are destroyed; once `retired`, blocks go through the shared
// lists.
thread_local FreeBlock* freeBlocks[kClasses] = {};     // blocks of the thread's chunks
thread_local FreeBlock* foreignBlocks[kClasses] = {};  // blocks of other chunks
thread_local char* carveNext = nullptr;
thread_local char* carveEnd = nullptr;
thread_local ChunkHeader* firstChunk = nullptr;
thread_local ChunkHeader* carveChunk = nullptr;
thread_local std::uint64_t threadNumber = 0;  // 0 until the thread first takes a chunk
thread_local std::size_t outstanding = 0;
thread_local bool retired = false;

void CarveFrom(ChunkHeader* chunk) {
  carveChunk = chunk;
  carveNext = reinterpret_cast<char*>(chunk) + sizeof(ChunkHeader);
  carveEnd = reinterpret_cast<char*>(chunk) + kChunkBytes;
}

// Hands the thread's free blocks to the shared lists when the thread ends. When none of
// its own blocks is in use, its chunks go whole to the next thread that needs one;
// otherwise their uncarved rest is not used again.
struct Retirement {
  Retirement() = default;
  Retirement(const Retirement&) = delete;
  Retirement& operator=(const Retirement&) = delete;
  ~Retirement() {
    retired = true;
    carveNext = carveEnd;
    const std::lock_guard<std::mutex> lock(sharedMutex);
    if (outstanding == 0 && firstChunk != nullptr) {
      for (FreeBlock*& list : freeBlocks) list = nullptr;  // they lie in those chunks
      ChunkHeader* last = firstChunk;
      while (last->nextOfOwner != nullptr) last = last->nextOfOwner;
      last->nextOfOwner = spareChunks;
      spareChunks = firstChunk;
      firstChunk = carveChunk = nullptr;
    }
    for (std::size_t c = 0; c < kClasses; ++c) {
      for (FreeBlock** list : {&freeBlocks[c], &foreignBlocks[c]}) {
        FreeBlock* head = std::exchange(*list, nullptr);
        if (head == nullptr) continue;
        FreeBlock* tail = head;
        while (tail->next != nullptr) tail = tail->next;
        tail->next = spareBlocks[c];
        spareBlocks[c] = head;
      }
    }
  }
};
thread_local Retirement retirement;

[[gnu::noinline]] void* TakeSlow(std::size_t cls) {
  const std::size_t size = (cls + 1) * kStep;
  if (!retired) {
    (void)&retirement;  // odr-use: constructs it, so its destructor runs at the thread's end
    // The next of the thread's own chunks, when a rewind left some ahead.
    if (carveChunk != nullptr && carveChunk->nextOfOwner != nullptr) {
      CarveFrom(carveChunk->nextOfOwner);
      void* block = carveNext;
      carveNext += size;
      ++outstanding;
      return block;
    }
  }
  const std::lock_guard<std::mutex> lock(sharedMutex);
  if (FreeBlock* block = spareBlocks[cls]) {
    spareBlocks[cls] = block->next;
    return block;
  }
  if (threadNumber == 0 && !retired) threadNumber = ++lastThreadNumber;
  const std::uint64_t owner = retired ? kNoOwner : threadNumber;
  ChunkHeader* chunk = spareChunks;
  if (chunk != nullptr) {  // nothing of it is in use or on any list
    spareChunks = chunk->nextOfOwner;
    chunk->nextOfOwner = nullptr;
    chunk->owner = owner;
  } else {
    chunk = static_cast<ChunkHeader*>(std::aligned_alloc(kChunkBytes, kChunkBytes));
    if (chunk == nullptr) throw std::bad_alloc();
    ::madvise(chunk, kChunkBytes, MADV_HUGEPAGE);  // only advice: fine if refused
    *chunk = ChunkHeader{allChunks, nullptr, owner, 0};
    allChunks = chunk;
  }
  if (retired) {  // a late value of an ended thread: a few more become spare
    char* block = reinterpret_cast<char*>(chunk) + sizeof(ChunkHeader);
    for (std::size_t n = 1; n <= 64; ++n)
      spareBlocks[cls] = new (block + n * size) FreeBlock{spareBlocks[cls]};
    return block;
  }
  if (carveChunk != nullptr)
    carveChunk->nextOfOwner = chunk;
  else
    firstChunk = chunk;
  CarveFrom(chunk);
  void* block = carveNext;
  carveNext += size;
  ++outstanding;
  return block;
}

// For measuring what the pool buys: set in the environment, every block comes from the heap.
const bool kBypass = std::getenv("MORVANE_ATOM_POOL_OFF") != nullptr;

}  // namespace

void* Take(std::size_t bytes) {
  if (kBypass) return ::operator new(bytes);
  const std::size_t cls = ClassOf(bytes);
  if (FreeBlock* block = freeBlocks[cls]) {
    freeBlocks[cls] = block->next;
    if (ChunkOf(block)->owner == threadNumber) ++outstanding;
    return block;
  }
  const std::size_t size = (cls + 1) * kStep;
  if (carveEnd - carveNext >= static_cast<std::ptrdiff_t>(size)) {
    void* block = carveNext;
    carveNext += size;
    ++outstanding;
    return block;
  }
  if (FreeBlock* block = foreignBlocks[cls]) {
    foreignBlocks[cls] = block->next;
    return block;
  }
  return TakeSlow(cls);
}

void Give(void* block, std::size_t bytes) {
  if (kBypass) return ::operator delete(block);
  if (block == nullptr) return;
  const std::size_t cls = ClassOf(bytes);
  if (retired) {
    const std::lock_guard<std::mutex> lock(sharedMutex);
    spareBlocks[cls] = new (block) FreeBlock{spareBlocks[cls]};
    return;
  }
  if (ChunkOf(block)->owner == threadNumber) {  // never for a thread without chunks
    if (--outstanding == 0) {
      // Nothing of this thread's chunks is in use: start again at the front.
      for (FreeBlock*& list : freeBlocks) list = nullptr;
      CarveFrom(firstChunk);
      return;
    }
    freeBlocks[cls] = new (block) FreeBlock{freeBlocks[cls]};
    return;
  }
  if (foreignBlocks[cls] == nullptr) (void)&retirement;  // a thread that only frees hands over
  foreignBlocks[cls] = new (block) FreeBlock{foreignBlocks[cls]};
}

}  // namespace atompool

#else  // AddressSanitizer: everything from the heap

namespace atompool {

void* Take(std::size_t bytes) {
  return ::operator new(bytes);
}

void Give(void* block, std::size_t) {
  ::operator delete(block);
}

}  // namespace atompool

#endif

void* CAtom::operator new(std::size_t size) {
  return atompool::TakeAny(size);
}

void CAtom::operator delete(void* block, std::size_t size) {
  atompool::GiveAny(block, size);
}

}  // namespace morvane
