/// \file
/// Everything the library gives its hosts, in one include.
///
/// Read first, on the main page: the \ref start-up-order "start-up order" that every host follows,
/// which \ref threads "threads" may use what, and how the library behaves on each system
/// (\ref the-platform-services "the platform services", \ref crash-dumps "crash dumps",
/// \ref windows "Windows").
///
/// The start-up order of the example host (logging, the application information, the crash
/// handler), before anything else of the library is used:
/// \snippet demo_host.cpp Start-up
#pragma once

#include <Plinth/ApplicationInfo.h>
#include <Plinth/AudioCaptureInfo.h>
#include <Plinth/Buffer.h>
#include <Plinth/BufferQueue.h>
#include <Plinth/CrashHandler.h>
#include <Plinth/FileIntegrity.h>
#include <Plinth/Logging.h>
#include <Plinth/Observed.h>
#include <Plinth/StateMachine.h>
#include <Plinth/StringUtils.h>
#include <Plinth/TidewaveSynchroInfo.h>
#include <Plinth/Timers.h>
#include <Plinth/Version.h>
#include <Plinth/WaveFileBuffer.h>

/// \namespace Melvo
/// The library's classes and functions, all but the two of namespace vorn.

/// \namespace vorn
/// The observer list (Observed) and the time of the last code callback (TidewaveSynchroInfo).
