// Everything the library gives its hosts, in one include.
#pragma once

#include <Plinth/ApplicationInfo.h>
#include <Plinth/AudioCaptureInfo.h>
#include <Plinth/Buffer.h>
#include <Plinth/BufferQueue.h>
#include <Plinth/FileIntegrity.h>
#include <Plinth/Logging.h>
#include <Plinth/StateMachine.h>
#include <Plinth/StringUtils.h>
#include <Plinth/TidewaveSynchroInfo.h>
#include <Plinth/Timers.h>
#include <Plinth/Version.h>
#include <Plinth/WaveFileBuffer.h>
