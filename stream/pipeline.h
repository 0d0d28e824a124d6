// pipeline.h - the stream's parallel block coding, private to the module.
//
// Every stream gets a batch: its blocks go through groups, coded on the
// threads its options allow (or on the stream's own thread), and its
// records are moved in large pieces. Without one (no memory for it) the
// stream codes every block itself, one at a time, with a file transfer for
// every part of its record.
#pragma once

#include "stream.h"

// A batch for a new stream (its mode, flags, options and codec set), or
// null when the stream codes on its own.
HileBatch* BatchCreate(HILE* stream);
// Waits for the coding threads and releases the batch; null does nothing.
void BatchDestroy(HileBatch* batch);

// Writing: takes the full buffer as the next block; a full group is packed
// and written while the next one fills.
void BatchPut(HILE* stream);
// Writing: packs and writes every block still held (at close).
void BatchFlush(HILE* stream);

// Reading: hands out the next block into the buffer. Answers false when the
// stream's length promises no further block, or the next record could not
// be read ahead; the caller then goes on as a single thread would (the file
// is positioned behind the last block read), with that thread's report.
bool BatchFill(HILE* stream);
// Reading: forgets every block read ahead (before a seek).
void BatchDrop(HILE* stream);
// Ends the batch's coding threads, each after the share it is coding, for a
// process that ends on the fatal path; the stream is not used again.
void BatchStopThreads(HileBatch* batch);

// The stream's progress call, after each block written or handed out.
void HileReportProgress(const HILE* stream);
