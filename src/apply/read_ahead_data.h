// A compressed block decoded on a thread of its own, a few chunks ahead of
// its reader: the reader copies bytes the other core has already decoded.
#pragma once

#include <cstdint>

#include "apply/compressed_read_data.h"
#include "runtime/shared_array.h"
#include "runtime/thread.h"

class CReadAheadData : public CFileReadData {
 public:
  // Starts decoding `source`, when it may decode to kThreadedSize bytes or
  // more; otherwise, or when no thread starts, Read decodes on the reader's
  // thread, with the same results. Whoever else holds the source leaves it
  // alone until Finished or the destructor.
  explicit CReadAheadData(const SharedArray<CCompressedReadData>& source);
  ~CReadAheadData() override;

  bool Read(void* destination, uint32_t count, uint32_t* delivered) override;
  // As the source's Finished: every decoded byte was read and the stream
  // ended as it should. Stops the decoding first; the stream's last call.
  bool Finished();

  // The decoder runs up to kSlots chunks of kChunk bytes ahead: 2 MiB, what
  // it decodes of a large program's block while the worker proves the old
  // file and reads the instructions (biome's literal and difference blocks,
  // bench/apply_floor.py: 4 slots 0.252 s, 16 0.221 s, 24 0.227 s).
  static constexpr uint32_t kSlots = 16;
  static constexpr uint32_t kChunk = 1u << 17;
  static constexpr uint64_t kThreadedSize = uint64_t{1} << 20;

 private:
  static DWORD Produce(void* self);
  // Waits until the slot after the one just read is decoded; false at the
  // stream's end.
  bool Advance();
  // Ends the decoding thread; the source is the caller's alone after it.
  void Halt();

  SharedArray<CCompressedReadData> source;
  SharedArray<uint8_t> slots;
  CThread thread;
  bool threaded = false;
  CCriticalSection lock;
  CEvent filled, drained;
  // Under `lock`: slots decoded and not yet read (the first is `head`),
  // each slot's size, and whether the decoding stopped.
  uint32_t ready = 0, head = 0;
  uint32_t sizes[kSlots] = {};
  bool halted = false;
  // The reader's place in slot `head`, and whether it holds a slot.
  uint32_t taken = 0;
  bool holding = false;
};
