// Capture files: a motion server's stream recorded frame by frame, with each frame's arrival time,
// so that it can be replayed byte for byte. The layout is described in docs/capture-format.md.
// A CaptureWriter or CaptureReader is used by one thread at a time; each owns its file.
#ifndef KMQ_TOOLS_PROTOCOL_CAPTURE_FILE_H_
#define KMQ_TOOLS_PROTOCOL_CAPTURE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform_file.h"
#include "wire_format.h"

namespace kmq {

// The first 8 bytes of every capture file.
constexpr char kCaptureMagic[8] = {'K', 'M', 'Q', 'C', 'A', 'P', 'T', '\n'};
constexpr uint16_t kCaptureVersion = 1;
// Bytes before the header fields: magic, version, flags, size of the fields.
constexpr size_t kCaptureLeadBytes = 16;
// Bytes before each record's payload: arrival time, marker, length. A record holds one frame
// the plug-in could take: its payload is at most kovrim::wire::kReceiveLimit bytes.
constexpr size_t kCaptureRecordPrefixBytes = 16;
// Bounds that keep a damaged header from asking for unbounded memory.
constexpr size_t kCaptureMaxAddressBytes = 4096;
constexpr size_t kCaptureMaxActors = 65536;

struct CaptureHeader {
  uint16_t mVersion = kCaptureVersion;
  // When the capture started, in microseconds since 1970-01-01 UTC.
  int64_t mCreatedMicros = 0;
  // The server the stream came from, as "host:port".
  std::string mServerAddress;
  // The actors whose headers were asked for.
  std::vector<uint32_t> mActorTags;
};

struct CaptureRecord {
  // When the frame was whole, in microseconds since the capture started (monotonic clock).
  uint64_t mArrivalMicros = 0;
  // The frame's marker as it arrived: 0x41414141 (plain) or 0x43434343 (compressed).
  uint32_t mMarker = 0;
  // The payload, unchanged.
  std::string mPayload;

  // Marker, little-endian length and payload: the frame as it travelled.
  std::string WireBytes() const;
};

// Appends records to a new capture file. Every Append hands the record to the system in one
// write, so a process that dies keeps every record appended before it.
class CaptureWriter {
 public:
  CaptureWriter() = default;
  ~CaptureWriter();
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  // Creates (or empties) path and writes the header. Fails on an open writer, an address or an
  // actor list past the bounds above, or a file that cannot be written.
  bool Open(const std::string& path, const CaptureHeader& header, std::string* error);
  // Fails on a closed writer, a marker that is not a frame marker, a payload larger than
  // kovrim::wire::kReceiveLimit, or a write error (after which the writer is closed).
  bool Append(const CaptureRecord& record, std::string* error);
  bool Append(uint64_t arrivalMicros, uint32_t marker, const char* payload, size_t size,
              std::string* error);
  // Flushes to the disk and closes. Idempotent; true if the file was never opened.
  bool Close(std::string* error);

  bool IsOpen() const { return mFd.IsOpen(); }
  uint64_t RecordsWritten() const { return mRecords; }
  uint64_t BytesWritten() const { return mBytes; }

 private:
  bool WriteAll(const char* data, size_t size, std::string* error);

  UniqueFd mFd;
  std::string mPath;
  std::string mScratch;  // one record's bytes, reused
  uint64_t mRecords = 0;
  uint64_t mBytes = 0;
};

// Reads a capture file record by record. A file cut short (inside the header or a record) is not
// an error: every whole record is read, and Truncated() and Problem() tell what was lost.
class CaptureReader {
 public:
  CaptureReader() = default;
  ~CaptureReader();
  CaptureReader(const CaptureReader&) = delete;
  CaptureReader& operator=(const CaptureReader&) = delete;

  // Fails on a file that cannot be read, does not start with the magic, has a version this
  // reader does not know, or a header field past the bounds. A file that ends inside the header
  // opens, with HeaderComplete() false, Truncated() true and no record.
  bool Open(const std::string& path, std::string* error);
  const CaptureHeader& Header() const { return mHeader; }
  bool HeaderComplete() const { return mHeaderComplete; }

  // The next whole record; false at the end of the file, at a record cut short (Truncated()) or
  // at a damaged record: a bad marker or a length out of range (Problem() says which).
  bool Next(CaptureRecord* record);

  // The file ends inside the header or inside a record.
  bool Truncated() const { return mTruncated; }
  // Why reading stopped before the end of the file; "" if it did not.
  const std::string& Problem() const { return mProblem; }
  uint64_t RecordsRead() const { return mRecords; }
  // Bytes after the last whole record that were not read as one.
  uint64_t UnreadBytes() const { return mUnreadBytes; }

 private:
  // Reads up to size bytes; returns how many were read (fewer only at the end of the file).
  size_t ReadUpTo(void* out, size_t size);
  void StopAt(uint64_t offset, bool truncated, const std::string& problem);

  std::FILE* mFile = nullptr;
  uint64_t mFileSize = 0;
  uint64_t mOffset = 0;
  CaptureHeader mHeader;
  bool mHeaderComplete = false;
  bool mDone = false;
  bool mTruncated = false;
  std::string mProblem;
  uint64_t mRecords = 0;
  uint64_t mUnreadBytes = 0;
};

// A whole capture in memory.
struct Capture {
  CaptureHeader mHeader;
  bool mHeaderComplete = false;
  std::vector<CaptureRecord> mRecords;
  bool mTruncated = false;
  // Why reading stopped early; "" if every byte was read as part of a whole record.
  std::string mProblem;
};

// Reads every whole record of path. Fails only where CaptureReader::Open fails.
bool ReadCapture(const std::string& path, Capture* capture, std::string* error);

}  // namespace kmq

#endif  // KMQ_TOOLS_PROTOCOL_CAPTURE_FILE_H_
