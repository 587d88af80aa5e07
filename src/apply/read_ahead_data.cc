#include "apply/read_ahead_data.h"

#include <cstring>
#include <new>

CReadAheadData::CReadAheadData(const SharedArray<CCompressedReadData>& stream)
    : source(stream), filled(0), drained(0) {
  // A short stream decodes in less time than a thread takes to set up.
  // The slots are not cleared: one is read only after a chunk is decoded
  // into it, and the pages of those a short block never reaches are never
  // touched.
  uint8_t* memory = source.Get()->decodedLimit >= kThreadedSize
                        ? new (std::nothrow) uint8_t[kSlots * kChunk]
                        : nullptr;
  if (memory != nullptr) slots.Attach(memory, kSlots * kChunk);
  if (memory != nullptr && filled.GetHandle() != nullptr &&
      drained.GetHandle() != nullptr &&
      thread.SetThreadProcC(&CReadAheadData::Produce, this) == 1) {
    // Start says 0 also for a thread that runs but could not signal that it
    // does: a thread handle is a thread that decodes, which Halt must end.
    thread.Start();
    threaded = thread.GetThreadHandle() != nullptr;
  }
}

CReadAheadData::~CReadAheadData() { Halt(); }

DWORD CReadAheadData::Produce(void* self) {
  auto& stream = *static_cast<CReadAheadData*>(self);
  for (uint32_t next = 0;; next = (next + 1) % kSlots) {
    {
      CAutoLock guard(&stream.lock);
      while (stream.ready == kSlots && !stream.halted) {
        stream.lock.Unlock();
        stream.drained.Wait(INFINITE);
        stream.lock.Lock();
      }
      if (stream.halted) return 0;
    }
    // The slot is the decoder's until it is counted ready.
    uint32_t delivered = 0;
    stream.source.Get()->Read(stream.slots.At(next * kChunk), kChunk,
                              &delivered);
    {
      CAutoLock guard(&stream.lock);
      stream.sizes[next] = delivered;
      ++stream.ready;
      if (delivered < kChunk) stream.halted = true;
    }
    stream.filled.Set();
    if (delivered < kChunk) return 0;
  }
}

bool CReadAheadData::Advance() {
  CAutoLock guard(&lock);
  if (holding) {
    if (sizes[head] < kChunk) return false;  // that was the last one
    head = (head + 1) % kSlots;
    --ready;
    drained.Set();
  }
  while (ready == 0 && !halted) {
    lock.Unlock();
    filled.Wait(INFINITE);
    lock.Lock();
  }
  holding = ready > 0;
  taken = 0;
  return holding;
}

bool CReadAheadData::Read(void* destination, uint32_t count,
                          uint32_t* delivered) {
  if (!threaded) return source.Get()->Read(destination, count, delivered);
  if (delivered == nullptr) return false;
  *delivered = 0;
  auto* out = static_cast<uint8_t*>(destination);
  while (count > 0) {
    // The slot at `head` does not change under the reader: only the
    // reader moves on from it.
    uint32_t left = holding ? sizes[head] - taken : 0;
    if (left == 0) {
      if (!Advance()) break;
      continue;
    }
    uint32_t piece = left < count ? left : count;
    std::memcpy(out, slots.At(head * kChunk + taken), piece);
    taken += piece;
    *delivered += piece;
    out += piece;
    count -= piece;
  }
  return true;
}

void CReadAheadData::Halt() {
  if (!threaded) return;
  {
    CAutoLock guard(&lock);
    halted = true;
  }
  drained.Set();
  thread.Stop();
  threaded = false;
}

bool CReadAheadData::Finished() {
  // Decoded bytes nobody read are bytes too many; the rest is the source's
  // to judge. Once the thread has ended, the slots are the reader's alone.
  bool wasThreaded = threaded;
  Halt();
  uint64_t unread = 0;
  if (wasThreaded) {
    for (uint32_t i = 0; i < ready; ++i) unread += sizes[(head + i) % kSlots];
    if (holding) unread -= taken;
  }
  return unread == 0 && source.Get()->Finished();
}
