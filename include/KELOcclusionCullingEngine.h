// The library's entry point: settings, partitions, entries and the frame.
//
// Threading: none. Call every operation from one thread; no operation may be
// called from inside a client or visitor callback.
//
// Handles: a partition handle is what CreateSpacePartition returned, an entry
// handle what AddEntry returned. A null handle is ignored (the operation does
// nothing; one that returns a value returns null). Other invalid handles,
// including an entry handle used after RemoveEntry (its record is recycled
// for later entries), are the host's error and are not detected.
//
// Memory: when the allocator returns null, operations fail without changing
// anything (CreateSpacePartition and AddEntry return null; SetClippingPlanes
// keeps the previous planes). A frame short of memory culls less, never
// more: what it cannot queue or test is drawn or reported untested at its
// end, each object at most once (AddPartition says what a full frame list
// does). The next frame with memory available works normally.
//
// Exceptions: no exception leaves any operation. A new-handler that throws
// (std::bad_alloc) when memory runs out is taken as "no memory". The client
// and the visitor must not throw either: the library does not catch what its
// callbacks throw.
//
// Geometry contract: boxes (min[3], max[3]) and bounding spheres are world
// space and are used exactly as given. The optional matrix (16 floats,
// translation in elements 12..14) is the host's placement of its object: the
// library copies it and hands it back with DrawObject, TouchObject and
// beside the entry's box in DrawBox, but never applies it.
#ifndef KEL_OCCLUSION_CULLING_ENGINE_H
#define KEL_OCCLUSION_CULLING_ENGINE_H

#include <cstdint>

#include "KELAllocator.h"
#include "KELExport.h"
#include "KELOcclusionCullingClient.h"
#include "KELSpacePartitionTraversal.h"

class KEL_API KELOcclusionCullingEngine {
public:
  // The one engine (created on first call; null if no memory, then the next
  // call tries again). Before it is set, the engine holds identity matrices,
  // no clipping planes, no client and contribution scales of zero (nothing
  // is too small).
  static KELOcclusionCullingEngine* GetInstance();

  // Copies hold their own partition list and their own clipping planes.
  KELOcclusionCullingEngine(const KELOcclusionCullingEngine&);
  KELOcclusionCullingEngine& operator=(const KELOcclusionCullingEngine&);
  ~KELOcclusionCullingEngine();

  // Stores the renderer callback (not owned). It must outlive every
  // EndCulling that uses it.
  void SetClient(KELOcclusionCullingClient* client);
  // 16 floats each, copied; translation in elements 12..14. Clip
  // coordinates are formed with projection applied after view.
  void SetViewMatrix(const float* matrix);
  void SetProjectionMatrix(const float* matrix);
  // Module-wide: a query must report more samples than this for its subject
  // to count as visible (default 300).
  void SetPixelHitsThreshold(uint32_t pixels);
  // Module-wide: how many frames a subject last found visible may go
  // without a new query (default 0).
  void SetFrameCoherency(uint32_t frames);
  // Module-wide, for streaming hosts; both leave the library as designed by
  // default. A separate threshold for unloaded entries: their fill queries
  // and their own queries report them (TouchObject) when they count more
  // samples than this, while zones and nodes keep the pixel-hits threshold
  // for what is drawn, so that a host learns of small visible objects it has
  // not loaded. kFollowPixelHitsThreshold (the default) uses the pixel-hits
  // threshold for both.
  static constexpr uint32_t kFollowPixelHitsThreshold = 0xFFFFFFFFu;
  void SetReportThreshold(uint32_t pixels);
  // Whether fill queries write the boxes of unloaded entries into the depth
  // buffer (default true), hiding what lies behind an unloaded object until
  // it loads; false only tests them, so that what lies behind is judged
  // against loaded objects alone.
  void SetFillDepthWrites(bool write);
  // Module-wide: the projection runs depth reversed (nearer is greater: NDC
  // depth 1 at the near plane, -1 at the far one). Zones are then ordered
  // and tested as under the same projection with depth running forward;
  // left off, a reversed projection counts almost every zone as crossing
  // the near plane, drawn without a query (default off).
  void SetReversedDepth(bool reversed);
  // Copies `count` planes (a, b, c, d): a point is kept where
  // a*x + b*y + c*z + d < 0. A zone wholly outside one of the first six
  // planes is skipped. A negative count or a null array holds no planes (no
  // plane rejects anything); a null plane pointer holds a plane that rejects
  // nothing, whatever the zone's bounds. Without memory for the copy the
  // previous planes and count stay.
  void SetClippingPlanes(int32_t count, const float* const* planes);
  // Contribution culling: a sphere is too small when its diameter is less
  // than its distance ahead of `eye` along `direction`, times scale1*scale2.
  void SetContributionCullingParameters(const float* eye, const float* direction, float scale1,
                                        float scale2);
  bool IsTooSmall(const float* center, float radius);
  // Off by default. On, EndCulling also tests boxes against the view volume
  // (the first six clipping planes), as a host would before drawing: a
  // partition whose bounds lie wholly outside one plane is skipped, and an
  // entry whose box does is never drawn, queried, filled or reported. Only
  // what is certainly outside goes: a box that meets the volume or crosses a
  // plane, an inverted box and a box with a NaN bound are kept; one that
  // only touches a plane from outside (value 0 is not the inner side) goes.
  // Per engine, like the planes it tests with.
  void SetViewVolumeTests(bool on);

  // A new, empty, active partition (not yet added to the frame), or null.
  void* CreateSpacePartition();
  // Destroys the partition: its zones, entries and their records go back to
  // the library's pools and free lists for later partitions and entries
  // (nothing is given back to the allocator). The partition and all its
  // entry handles are invalid afterwards. It is also taken out of this
  // engine's frame list (every time it was added), so that a following
  // EndCulling never touches it; other engines (copies) must not still list
  // it. A null handle does nothing, and so does destroying a partition
  // again, until a CreateSpacePartition has reused its record (the handle
  // then names the new partition). Calling it from a client or visitor
  // callback is the host's error.
  void DestroySpacePartition(void* partition);
  // Allows or forbids splitting the partition's crowded root zone.
  // Activating a partition that has been split flattens and rebuilds it.
  void ActivateSpacePartition(void* partition, bool active);
  // The partition's current bounds; inverted (min 1e7, max -1e7) while empty.
  void GetPartitionBounds(void* partition, float* min, float* max);
  // Walks the partition with the host's visitor, zone by zone (pre-order),
  // splitting crowded zones on the way; `force` allows splitting an
  // inactive partition for this walk.
  void TraverseSpacePartition(void* partition, KELSpacePartitionTraversal* traversal, bool force);
  // Adds the partition to this frame's list (no duplicate check). When the
  // list cannot grow (no memory), up to 64 partitions of the whole process
  // are held aside and still culled in this frame; the next StartCulling
  // tries again to make room for all of them. A partition that finds the
  // held store full too is not culled in this frame (its objects are
  // neither drawn nor reported); the library counts it with the frame's
  // statistics (beside the six printed counters, not among them).
  void AddPartition(void* partition);

  // A new entry for the host's object, unloaded, shown and opaque; returns
  // its handle, or null (nothing changed) when memory runs out.
  void* AddEntry(void* partition, void* object, const float* min, const float* max,
                 const float* center, float radius, const float* matrix);
  // New geometry; a null matrix keeps the entry's earlier matrix.
  void UpdateEntry(void* entry, const float* min, const float* max, const float* center,
                   float radius, const float* matrix);
  // Takes the entry out of its partition; its handle is invalid afterwards.
  void RemoveEntry(void* entry);
  // Loaded entries are drawn with DrawObject; unloaded ones are tested with
  // their boxes and reported with TouchObject when visible.
  void EntryLoaded(void* entry);
  void EntryUnLoaded(void* entry);
  // Hidden entries are never drawn and contribute no box to any query.
  void SetVisibility(void* entry, bool visible);
  // Passed on to DrawObject.
  void SetTransparency(void* entry, bool transparent);

  // Views. A view keeps a visibility history of its own: everything frame
  // coherency and batching read (histories, last visible frames, the
  // frame counter, the pixel counts that TouchObject reports). Cull each of
  // several views of a frame (two eyes, a shadow-casting light, a second
  // viewport) through a view of its own, and none acts on another's
  // results: a view's calls do not depend on what other views are culled
  // between its frames, once its partitions are split (splits are shared
  // work that any view may cause: split first with a forcing
  // TraverseSpacePartition). Partitions, entries, their states and the
  // settings are shared. A host that never calls these culls through the
  // default view, exactly as before.
  //
  // Memory: nothing for the default view; each created view keeps 8 bytes
  // per entry record and 12 per zone record, from the allocator. A steady
  // frame of any view allocates nothing.
  //
  // A new view, with no history: its first frame queries every subject
  // alone (the library's first frame batches them), so that nothing it
  // sees pops in a frame late. Null when memory runs out or every view is
  // taken (15 besides the default view).
  void* CreateView();
  // Null does nothing; the default view is never destroyed. The view's
  // handle is invalid afterwards and its place goes to a later CreateView;
  // an engine that still selects it culls through the default view.
  void DestroyView(void* view);
  // The view to cull through, used from the next StartCulling on; null
  // selects the default view.
  void SetView(void* view);

  // Empties the frame's partition list and takes the view SetView chose.
  void StartCulling();
  // Culls the frame's partitions through the client: draws visible loaded
  // objects, reports visible entries with TouchObject, and prints six
  // statistics lines on standard output (unless SetStatisticsOutput turned
  // them off). Without a client it does nothing.
  // A zone that lies wholly behind the eye (every corner at clip w <= 0) is
  // not visible: its objects are neither drawn nor reported.
  void EndCulling();

  // Module-wide: whether EndCulling prints its six statistics lines on
  // standard output (on by default), each flushed:
  //   fill query : N             fill queries drawn
  //   zone traversed : N         zone records their boxes went over
  //   zone entry traversed : N   unloaded entries they went over
  //   zone entry filled : N      of those waiting for a split, not too small
  //   big zone entry filled : N  of the others, neither too small nor hidden
  //   zone entry nothing : N     fill queries that filled no waiting entry
  // The counts are kept either way (GetLastStatistics).
  void SetStatisticsOutput(bool on);
  // The six counts of the last EndCulling that ran a frame, in the printed
  // order; zeros before the first. A null array is ignored.
  void GetLastStatistics(int32_t counts[6]);

protected:
  KELOcclusionCullingEngine();

  KELOcclusionCullingClient* iClient;
  KELGrowArray iPartitions;
  int32_t iClipPlaneCount;
  float iEyePosition[3];
  float iScaledDirection[3];
  float iContributionOffset;
  float** iClipPlanes;
  float iProjectionMatrix[16];
  float iViewMatrix[16];
  bool iViewVolumeTests;
  // The view SetView chose and the one StartCulling took for the frame
  // (0: the default view).
  uint32_t iChosenView;
  uint32_t iFrameView;

  static KELOcclusionCullingEngine* _instance;

  friend struct KELEngineAccess;
};

// Module marker: returns 1.
KEL_API int TALBEK_WORKS_QBN5_INTERNAL_KELScreenSpacePartitioning();

#endif
