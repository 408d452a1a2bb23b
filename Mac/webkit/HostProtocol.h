// Messages between the plug-in, in a browser's web process, and the browser that hosts it, besides
// the dialogs (Platform/Dialogs/host/HostDialogs.h). A host that handles none of them still runs
// the plug-in: it then launches the Assistant and shows its dialogs from the web process, and takes
// no drops.
//
//   plug-in -> host   kHostLaunchMessage    (ay u)  bundle identifier, launch options
//                                           reply (b): the launch request was accepted
//   host -> page      kHostDragPathsMessage (aay)   the local paths of the files being dragged over
//                                                   the page, sent when the drag's data arrives
//                     kHostDragEndedMessage ()      the drag left the page or was dropped
//
// Initialization data the host may pass to the plug-in: a dictionary (a{sv}) in which
// kHostSettingEchoSystemLog (b) copies every system-log line of the web process to its standard
// error, for test runs, and kHostSettingBenchmarkReference (b) gives the plug-in's elements one
// more method, kBenchmarkReferenceMethod, reached the same way as the others but doing nothing, the
// reference of the benchmarks.
#pragma once

inline constexpr char kHostLaunchMessage[] = "qiravel.workspace.launch";
inline constexpr char kHostDragPathsMessage[] = "qiravel.drag.paths";
inline constexpr char kHostDragEndedMessage[] = "qiravel.drag.ended";
inline constexpr char kHostSettingEchoSystemLog[] = "echo-system-log";
inline constexpr char kHostSettingBenchmarkReference[] = "benchmark-reference";
inline constexpr char kBenchmarkReferenceMethod[] = "BenchmarkEmptyMethod";
