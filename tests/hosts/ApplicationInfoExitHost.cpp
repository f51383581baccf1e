// A host that reads the application information and the callback time from a global object's
// destructor, after main has returned and the host's other globals are gone: everything recorded
// during main must still be there. Exits 0 when it is, 1 (with a message) when not.
#include <Plinth/ApplicationInfo.h>
#include <Plinth/TidewaveSynchroInfo.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Melvo::ApplicationInfo;
using vorn::TidewaveSynchroInfo;

// Longer than any string kept inline, so a freed copy would be a freed heap block.
const char* const kName = "Exit Time Host With A Long Name";
const std::int64_t kCallbackTicks = 0x0123456789ABCDEF;

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "after main: %s\n", what);
  std::_Exit(1);
}

// Made before main, so destroyed after everything main made, the library's first use included.
struct LateUser {
  ~LateUser() {
    Check(ApplicationInfo::Name() == kName, "Name");
    Check(ApplicationInfo::NormalizedName() == "ExitTimeHostWithALongName", "NormalizedName");
    Check(ApplicationInfo::ServiceName() == "Exit Time Host Service Name", "ServiceName");
    Check(ApplicationInfo::GetContentPath(Melvo::ContentFolderType::Audio) == "/srv/audio/of/the/exit/host",
          "GetContentPath");
    Check(!ApplicationInfo::IsRunningAsService(), "IsRunningAsService");
    Check(ApplicationInfo::RestartCommandLine() == ApplicationInfo::ExecutableCommandLine(),
          "RestartCommandLine");
    Check(TidewaveSynchroInfo::Instance().GetLastTidewaveCodeCallbackTime().time_since_epoch().count() ==
              kCallbackTicks,
          "GetLastTidewaveCodeCallbackTime");
  }
} lateUser;

}  // namespace

int main() {
  const char* argv[] = {"exit-time-host", "--execute_standalone", nullptr};
  if (!ApplicationInfo::Init(kName, "", "Org", "1.0", "", Melvo::DataFolderType::ExecutableFolder, 2, argv) ||
      !ApplicationInfo::InitServiceName("Exit Time Host Service Name") ||
      !ApplicationInfo::InitContentPaths(
          {{Melvo::ContentFolderType::Audio, "/srv/audio/of/the/exit/host"}})) {
    return 1;
  }
  TidewaveSynchroInfo::TimePoint time{TidewaveSynchroInfo::Duration(kCallbackTicks)};
  TidewaveSynchroInfo::Instance().SetLastTidewaveCodeCallbackTime(time);
  return 0;
}
