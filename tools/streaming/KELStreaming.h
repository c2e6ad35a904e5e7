// Streaming a model from a pack file under a memory budget, in the order a
// viewer chooses. The one header a host includes:
//
//   KELPackSource      where a pack's bytes come from: a local file (pread)
//                      or an HTTP server that honours range requests; a
//                      host plugs in its own by deriving from it.
//   KELPackIndex       the pack's header and index, read and checked at open.
//   DecodePackBlock    one entry's geometry from its block.
//   KELPackWriter      writes a pack one entry at a time.
//   KELStreamingHost   worker threads that read and decode blocks in
//                      priority order, a memory budget with eviction, and
//                      uploads within a per-frame budget through the host's
//                      KELStreamingUploader; it tells the library what is
//                      loaded (EntryLoaded, EntryUnLoaded).
//
// Threads: the library, the uploader and every KELStreamingHost call belong
// to the host's render thread. The workers only read (KELPackSource::ReadAt,
// which must allow calls from several threads at once) and decode.
//
// Pack format, version 1 (little-endian throughout):
//   header, 64 bytes at offset 0: "KELPACK" and a zero byte, version,
//     header size (64), entry count, partition count, matrix count, vertex
//     size (28), the index's offset (u64), the file's size (u64), the
//     index's CRC-32, a reserved zero, two reserved zeros, the CRC-32 of
//     bytes 0..59;
//   blocks, one per entry, between the header and the index;
//   index: one 56-byte record per entry (KELPackEntry's layout), then one
//     16-float matrix per matrix; it ends the file.
//   block: CRC-32 of the rest of the block, vertex count, index count,
//     encoded vertex bytes V, V bytes of meshoptimizer's vertex codec, then
//     its index codec for the rest.
#ifndef KEL_STREAMING_H
#define KEL_STREAMING_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// ------------------------------------------------------------------ format

constexpr uint32_t kKELPackVersion = 1;
constexpr uint32_t kKELPackHeaderBytes = 64;
constexpr uint32_t kKELPackEntryBytes = 56;
constexpr uint32_t kKELPackBlockHeaderBytes = 16;
constexpr uint32_t kKELPackNoMatrix = 0xFFFFFFFFu;
// A block decodes to at most this many times its packed size (plus a
// little): the codecs cannot expand further, so a larger claim is damage,
// and no allocation exceeds what the file's bytes can justify.
constexpr uint32_t kKELPackMaxExpansion = 64;

// One vertex as it is packed and drawn: position, normal, RGBA8 colour
// (red in the low byte).
struct KELPackVertex {
  float iPosition[3];
  float iNormal[3];
  uint32_t iColor;
};
static_assert(sizeof(KELPackVertex) == 28, "the packed vertex layout");

// One entry of the index: its world box, the radius of its bounding sphere
// (centred on the box), its partition, its block and what that holds, and
// its placement matrix (an index into the pack's matrices, or
// kKELPackNoMatrix: the geometry is in world space).
struct KELPackEntry {
  float iMin[3];
  float iMax[3];
  float iRadius;
  uint32_t iPartition;
  uint64_t iOffset;
  uint32_t iPackedBytes;
  uint32_t iUnpackedBytes;  // vertices * 28 + triangles * 12
  uint32_t iTriangles;
  uint32_t iMatrix;
};
static_assert(sizeof(KELPackEntry) == kKELPackEntryBytes, "the index record");

struct KELPackGeometry {
  std::vector<KELPackVertex> iVertices;
  std::vector<uint32_t> iIndices;  // triangles
};

// The vertex count an entry's unpacked size implies.
inline uint32_t GetPackVertexCount(const KELPackEntry& entry) {
  return static_cast<uint32_t>((entry.iUnpackedBytes - 12ull * entry.iTriangles) / sizeof(KELPackVertex));
}

// --------------------------------------------------------------- sources

// Where a pack's bytes come from. ReadAt may be called from several
// threads at once.
class KELPackSource {
public:
  virtual ~KELPackSource() = default;
  virtual uint64_t GetSize() const = 0;
  // Reads exactly `size` bytes at `offset`. False (with `error`) for a read
  // past the end, a failed or short read.
  virtual bool ReadAt(uint64_t offset, uint32_t size, uint8_t* buffer, std::string& error) = 0;
  virtual std::string GetName() const = 0;
};

// A local file, read with pread. Null (with `error`) when it cannot be
// opened.
std::unique_ptr<KELPackSource> OpenPackFile(const std::string& path, std::string& error);
// A file on an HTTP server that honours range requests (libcurl). Null
// (with `error`) when the server does not answer, lacks the file, gives no
// size or ignores ranges, or when the build has no libcurl.
std::unique_ptr<KELPackSource> OpenPackUrl(const std::string& url, std::string& error);
// http:// and https:// names open as URLs, anything else as a file.
std::unique_ptr<KELPackSource> OpenPackSource(const std::string& name, std::string& error);
// Bytes in memory (tests, fuzzing); the bytes are copied.
std::unique_ptr<KELPackSource> MakeMemoryPackSource(const uint8_t* bytes, size_t size);

// ------------------------------------------------------------------ index

class KELPackIndex {
public:
  // Reads the header and the index and checks them: magic, version, sizes,
  // checksums, counts that would overflow, records pointing past the
  // blocks' area or claiming more than their blocks can hold, partitions
  // and matrices out of range, boxes that are not finite. False with a
  // message naming the pack and the fault; nothing is allocated beyond
  // what the file's size allows.
  bool Open(KELPackSource& source, std::string& error);

  uint32_t GetEntryCount() const { return static_cast<uint32_t>(iEntries.size()); }
  const KELPackEntry& GetEntry(uint32_t entry) const { return iEntries[entry]; }
  // The entry's matrix (16 floats, column-major), or null.
  const float* GetMatrix(uint32_t entry) const;
  uint32_t GetPartitionCount() const { return iPartitionCount; }
  uint64_t GetPackedBytes() const { return iPackedBytes; }
  uint64_t GetUnpackedBytes() const { return iUnpackedBytes; }
  uint64_t GetTriangles() const { return iTriangles; }
  uint64_t GetFileBytes() const { return iFileBytes; }
  // Bytes the open index holds in memory.
  uint64_t GetMemoryBytes() const;

private:
  std::vector<KELPackEntry> iEntries;
  std::vector<float> iMatrices;
  uint32_t iPartitionCount = 0;
  uint64_t iPackedBytes = 0;
  uint64_t iUnpackedBytes = 0;
  uint64_t iTriangles = 0;
  uint64_t iFileBytes = 0;
};

// Decodes one block (`size` bytes as read at entry.iOffset) into
// `geometry`. False with a message for a bad checksum, counts that do not
// match the entry, a codec error or an index past the vertices; what
// `geometry` then holds is unspecified. The entry's claims are checked
// against the block's size before anything is allocated.
bool DecodePackBlock(const KELPackEntry& entry, const uint8_t* block, uint32_t size, KELPackGeometry& geometry,
                     std::string& error);

// CRC-32 (the zlib polynomial) of `size` bytes.
uint32_t PackChecksum(const uint8_t* bytes, size_t size);

// ----------------------------------------------------------------- writer

struct KELPackWriterEntry {
  float iMin[3];
  float iMax[3];
  float iRadius = 0;
  uint32_t iPartition = 0;
  const float* iMatrix = nullptr;  // 16 floats, or null for world-space geometry
  const KELPackVertex* iVertices = nullptr;
  uint32_t iVertexCount = 0;
  const uint32_t* iIndices = nullptr;  // triangles
  uint32_t iIndexCount = 0;
};

// Writes a pack entry by entry: each block goes to the file as it is
// added, so only the index (56 bytes an entry, plus matrices) stays in
// memory. Triangles are reordered for the vertex cache and unused vertices
// dropped before encoding. Until Finish the file does not open as a pack.
class KELPackWriter {
public:
  KELPackWriter() = default;
  ~KELPackWriter();
  KELPackWriter(const KELPackWriter&) = delete;
  KELPackWriter& operator=(const KELPackWriter&) = delete;

  bool Open(const std::string& path, uint32_t partitionCount, std::string& error);
  // False (with `error`) for an index past the vertices, an index count
  // that is not a multiple of 3, a partition out of range, a block too
  // large for the format, or a failed write.
  bool Add(const KELPackWriterEntry& entry, std::string& error);
  // Writes the index and the header and closes the file.
  bool Finish(std::string& error);

  uint32_t GetEntryCount() const { return static_cast<uint32_t>(iEntries.size()); }
  uint64_t GetPackedBytes() const { return iPackedBytes; }
  uint64_t GetUnpackedBytes() const { return iUnpackedBytes; }

private:
  bool Write(const void* bytes, size_t size, std::string& error);

  std::string iPath;
  int iFile = -1;
  uint64_t iOffset = 0;
  uint32_t iPartitionCount = 0;
  std::vector<KELPackEntry> iEntries;
  std::vector<float> iMatrices;
  uint64_t iPackedBytes = 0;
  uint64_t iUnpackedBytes = 0;
  // Scratch reused from entry to entry.
  std::vector<uint32_t> iRemap;
  std::vector<uint32_t> iIndices;
  std::vector<KELPackVertex> iVertices;
  std::vector<uint8_t> iBlock;
};

// --------------------------------------------------------------- streaming

// The host's GPU side. Called on the render thread only, between frames.
class KELStreamingUploader {
public:
  virtual ~KELStreamingUploader() = default;
  // An upper bound of the bytes Upload will hold for `entry` (reserved in
  // the budget before its block is read).
  virtual uint64_t GetUploadBytes(const KELPackEntry& entry) = 0;
  // Makes the entry's geometry drawable; `matrix` is its placement or null.
  // Sets `bytes` to what it holds (at most GetUploadBytes). False when it
  // cannot: the entry then stays unloaded.
  virtual bool Upload(uint32_t entry, const KELPackGeometry& geometry, const float* matrix, uint64_t& bytes) = 0;
  // Frees what Upload made. The library no longer lists the entry as
  // loaded; a host that still has frames in flight on the GPU must defer
  // the free until they end.
  virtual void Release(uint32_t entry) = 0;
};

enum class KELStreamingOrder {
  kOcclusion,  // the library's reports: larger pixel count first, then nearer
  kFrustum,    // every entry whose box meets the view volume: larger on screen first, then nearer
  kAll         // everything, in file order, whatever the budget
};
const char* GetStreamingOrderName(KELStreamingOrder order);
// False for an unknown name.
bool ParseStreamingOrder(const std::string& name, KELStreamingOrder& order);

struct KELStreamingOptions {
  KELStreamingOrder iOrder = KELStreamingOrder::kOcclusion;
  uint64_t iBudgetBytes = 0;           // everything held (GPU and staging); 0: no limit
  uint64_t iUploadBytesPerFrame = 0;   // unpacked bytes uploaded per Update; 0: no limit
  int iThreads = 2;                    // readers and decoders
  // Levers of the occlusion order: nearer first within the reports instead
  // of larger first; and prefetching, after all reports and only into free
  // room (it evicts nothing): the entries that meet the view volume of every
  // partition with an entry reported or drawn.
  bool iNearestFirst = false;
  bool iPrefetchPartition = false;
  // And, after the reports, every entry whose box lies within this distance
  // of the eye, in view or not (0: none): what the camera may walk into
  // next, nearer first.
  float iPrefetchRadius = 0;
};

// The camera of the frame that was just culled.
struct KELStreamingView {
  float iEye[3];
  float iPlanes[6][4];  // a*x + b*y + c*z + d < 0 inside, as the library takes them
};

// What one Update did, and what is held after it.
struct KELStreamingFrameStats {
  uint64_t iHeldBytes = 0;     // GPU copies, decoded blocks and read buffers
  uint64_t iReadBytes = 0;     // packed bytes read since the previous Update
  uint32_t iLoads = 0;         // uploaded and made loaded
  uint32_t iEvictions = 0;
  uint32_t iPending = 0;       // wanted, not yet loaded (queued, in flight, waiting for room)
  uint32_t iCancelled = 0;     // queued requests dropped: no longer wanted
  uint32_t iFailed = 0;        // blocks refused (checksum, codec, read, upload)
  double iUploadMs = 0;
};

// Per entry: which part of the loader holds it.
enum class KELStreamingState : uint8_t { kIdle, kQueued, kReading, kDecoded, kResident, kFailed };

class KELStreamingLoader;
class KELHeldBytes;
struct KELLoadRequest;
struct KELLoadResult;

class KELStreamingHost {
public:
  // `index`, `source` and `uploader` must outlive the host.
  KELStreamingHost(const KELPackIndex& index, KELPackSource& source, KELStreamingUploader& uploader,
                   const KELStreamingOptions& options);
  // Stops the workers and releases everything uploaded (without telling
  // the library: destroy the partitions first, or tell it yourself).
  ~KELStreamingHost();
  KELStreamingHost(const KELStreamingHost&) = delete;
  KELStreamingHost& operator=(const KELStreamingHost&) = delete;

  // Starts the workers.
  bool Start(std::string& error);
  // The library's handle of each entry, from the host's AddEntry (in pack
  // order, every entry unloaded). EntryLoaded and EntryUnLoaded go to these;
  // without one the host streams for itself alone.
  void SetLibraryEntry(uint32_t entry, void* handle);
  // Or this: creates the pack's partitions in the engine and adds every
  // entry, unloaded, with its box, sphere and matrix; the object pointer of
  // entry i is `objects[i]`, or i + 1 cast to a pointer when `objects` is
  // null. Returns the partitions (the host adds them to its frames and
  // destroys them), or nothing when memory ran out.
  std::vector<void*> AddEntriesToLibrary(void* const* objects = nullptr);

  // From the host's client during EndCulling: the library drew the entry,
  // or reported it visible with `pixels` (TouchObject).
  void NoteDrawn(uint32_t entry);
  void NoteReported(uint32_t entry, uint32_t pixels);

  // After each frame, on the render thread, once the frame's GPU work no
  // longer needs what may be released: uploads decoded blocks within the
  // upload budget and tells the library; collects the order's wishes for
  // `view`; cancels queued requests no longer wanted; evicts what was
  // neither drawn, reported nor wanted for the longest time (never an entry
  // drawn in this frame) to make room; queues requests within the budget.
  void Update(const KELStreamingView& view, KELStreamingFrameStats* stats);
  // Waits up to `milliseconds` for a worker to finish a block.
  void WaitForWork(int milliseconds);
  // Nothing is wanted that is not loaded, and nothing is in flight.
  bool IsIdle() const;

  KELStreamingState GetState(uint32_t entry) const { return iStates[entry].iState; }
  bool IsResident(uint32_t entry) const { return iStates[entry].iState == KELStreamingState::kResident; }
  // Reserved against the budget now (never more than the budget).
  uint64_t GetReservedBytes() const { return iReservedBytes; }
  // Held now, and the most ever held.
  uint64_t GetHeldBytes() const;
  uint64_t GetPeakHeldBytes() const;
  uint64_t GetReadBytesTotal() const;
  // NoteDrawn for an entry without geometry: the library drew what the host
  // had not loaded (0 unless the host's bookkeeping is broken).
  uint32_t GetDrawnWithoutGeometry() const { return iDrawnWithoutGeometry; }
  // Bytes the host keeps per entry, besides the index.
  static size_t GetBytesPerEntry();
  // Refused blocks, one message each, in the order refused.
  const std::vector<std::string>& GetFailures() const { return iFailures; }

private:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  struct KELEntryState {
    void* iHandle = nullptr;
    uint32_t iGpuBytes = 0;     // reserved for the upload, then held
    int32_t iLastUsed = -1;     // frame last drawn, reported, wanted or uploaded
    int32_t iWanted = -1;       // frame it was last wanted
    int32_t iDrawn = -1;        // frame it was last drawn
    uint32_t iPixels = 0;       // latest report
    uint32_t iLruPrevious = kNone;
    uint32_t iLruNext = kNone;
    KELStreamingState iState = KELStreamingState::kIdle;
  };
  struct KELWish {
    float iPrimary;    // larger first
    float iSecondary;  // then larger first
    uint32_t iEntry;
    uint8_t iTier;     // smaller first
  };

  void Use(uint32_t entry);
  void Want(uint32_t entry, uint8_t tier, float primary, float secondary);
  void CollectWishes(const KELStreamingView& view);
  void CollectPrefetch(const KELStreamingView& view);
  void CollectNear(const KELStreamingView& view);
  void UploadDecoded(KELStreamingFrameStats& stats);
  void Dispatch(KELStreamingFrameStats& stats);
  void Unreserve(uint32_t entry);
  bool MakeRoom(uint64_t bytes, KELStreamingFrameStats& stats);
  void Evict(uint32_t entry);
  void Fail(uint32_t entry, const std::string& message);
  void LruRemove(uint32_t entry);
  void LruAppend(uint32_t entry);

  const KELPackIndex& iIndex;
  KELPackSource& iSource;
  KELStreamingUploader& iUploader;
  KELStreamingOptions iOptions;
  std::unique_ptr<KELHeldBytes> iHeld;
  std::unique_ptr<KELStreamingLoader> iLoader;
  std::vector<KELEntryState> iStates;
  std::vector<KELWish> iWishes;
  std::vector<uint32_t> iReported;
  std::vector<KELLoadResult> iResults;   // scratch
  std::vector<KELLoadResult> iDecoded;   // waiting for upload, in arrival order
  std::vector<KELLoadRequest> iTaken;    // scratch
  std::vector<KELLoadRequest> iQueue;    // scratch
  std::vector<uint32_t> iQueued;         // handed to the workers at the last Update
  std::vector<uint32_t> iPartitionFirst; // prefetch: entries by partition
  std::vector<uint32_t> iPartitionEntries;
  std::vector<float> iPartitionBounds;   // prefetch: min and max of each partition's boxes
  std::vector<uint32_t> iShown;          // prefetch: reported or drawn in this frame
  std::vector<int32_t> iPartitionShown;  // prefetch: frame a partition last showed
  int32_t iFrame = 0;
  uint64_t iReservedBytes = 0;  // resident GPU bytes and in-flight reservations
  uint64_t iInFlightBytes = 0;  // unpacked bytes of requests not yet uploaded
  uint64_t iLastReadBytes = 0;
  uint32_t iInFlight = 0;       // queued, read or decoded
  uint32_t iPendingCount = 0;
  uint32_t iResidentCount = 0;
  uint32_t iFailedCount = 0;
  uint32_t iAllCursor = 0;
  uint32_t iDrawnWithoutGeometry = 0;
  uint32_t iLruHead = kNone;
  uint32_t iLruTail = kNone;
  std::vector<std::string> iFailures;
};

#endif
