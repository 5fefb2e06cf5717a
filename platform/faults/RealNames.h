// The fault-injection build only: included first into every source of the platform layer's own
// implementation, it renames each call that can fail to NAMEReal, so that the injector's
// wrappers (platform/faults/Wrappers.cpp) take the public names and decide, call by call,
// whether the real one runs.
#pragma once

// The macros are the functions' own names.
// NOLINTBEGIN(readability-identifier-naming)
#define socketsStart socketsStartReal
#define socketLastError socketLastErrorReal
#define socketOpenTcp socketOpenTcpReal
#define socketSetOption socketSetOptionReal
#define socketResolveName socketResolveNameReal
#define socketConnect socketConnectReal
#define socketConnectStart socketConnectStartReal
#define socketConnectCheck socketConnectCheckReal
#define socketBind socketBindReal
#define socketListen socketListenReal
#define socketPorts socketPortsReal
#define socketAccept socketAcceptReal
#define socketSend socketSendReal
#define socketReceive socketReceiveReal
#define socketPending socketPendingReal
#define socketShutdownSend socketShutdownSendReal
#define socketClose socketCloseReal
#define threadStart threadStartReal
#define threadExitCode threadExitCodeReal
#define threadTerminate threadTerminateReal
#define registryOpen registryOpenReal
#define registryQuery registryQueryReal
#define expandEnvironment expandEnvironmentReal
#define profileReadString profileReadStringReal
#define profileWriteString profileWriteStringReal
#define processForEach processForEachReal
#define programStart programStartReal
#define moduleIsLoaded moduleIsLoadedReal
#define currentDirectory currentDirectoryReal
#define dialogRun dialogRunReal
#define fileOpen fileOpenReal
#define fileWrite fileWriteReal
#define fileOpenWrite fileOpenWriteReal
#define fileWriteSome fileWriteSomeReal
#define folderListFiles folderListFilesReal
#define fileRemove fileRemoveReal
// NOLINTEND(readability-identifier-naming)
