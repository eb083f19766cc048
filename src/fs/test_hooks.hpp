// Known faults that the stress program's self-check (tools/stress.sh self-check) plants
// into a scratch build of the core, one at a time, to show that its checks catch each.
// The build defines QUORVEX_PLANT_FAULT_<NAME>; every real build defines none, so each
// switch below is false and the code it guards compiles away.
#pragma once

namespace quorvex::fs::planted {

#ifdef QUORVEX_PLANT_FAULT_NO_NAME_RECHECK
// A creation looks for the name before it locks the directory, not under the lock.
inline constexpr bool kNoNameRecheck = true;
#else
inline constexpr bool kNoNameRecheck = false;
#endif

#ifdef QUORVEX_PLANT_FAULT_CREATE_UNDER_REMOVAL
// A creation ignores that its directory's removal is under way.
inline constexpr bool kCreateUnderRemoval = true;
#else
inline constexpr bool kCreateUnderRemoval = false;
#endif

#ifdef QUORVEX_PLANT_FAULT_READER_BESIDE_WRITER
// A reading handle is let in beside a writing one.
inline constexpr bool kReaderBesideWriter = true;
#else
inline constexpr bool kReaderBesideWriter = false;
#endif

#ifdef QUORVEX_PLANT_FAULT_RENAME_WITHOUT_SUBTREE_CHECK
// A rename moves a directory into its own subtree.
inline constexpr bool kRenameWithoutSubtreeCheck = true;
#else
inline constexpr bool kRenameWithoutSubtreeCheck = false;
#endif

#ifdef QUORVEX_PLANT_FAULT_DEPTHS_NOT_UPDATED
// A rename that moves a directory to another depth leaves the depths below it as they were.
inline constexpr bool kDepthsNotUpdated = true;
#else
inline constexpr bool kDepthsNotUpdated = false;
#endif

#ifdef QUORVEX_PLANT_FAULT_DETACHED_NEVER_FREED
// A file opened by open_shared is never freed, even after its removal and last close.
inline constexpr bool kDetachedNeverFreed = true;
#else
inline constexpr bool kDetachedNeverFreed = false;
#endif

#ifdef QUORVEX_PLANT_FAULT_NO_USAGE_ROLLBACK
// A growth that fails after reserving its bytes keeps the reservation.
inline constexpr bool kNoUsageRollback = true;
#else
inline constexpr bool kNoUsageRollback = false;
#endif

} // namespace quorvex::fs::planted
