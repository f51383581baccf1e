// The process-wide application information and the decisions built on the platform's answers.
#include <Plinth/ApplicationInfo.h>

#include <Plinth/StringUtils.h>

#include <atomic>
#include <cctype>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "platform/PlatformProcess.h"

namespace Melvo {

namespace {

using boost::filesystem::path;

// What Init records. It is built aside and moved into place whole, so a failed allocation leaves
// the class as it was.
struct Identity {
  std::string name;
  std::string normalizedName;
  std::string legacyName;
  std::string organization;
  std::string version;
  std::string preReleaseTag;
  DataFolderType dataFolderType = DataFolderType::ExecutableFolder;
  bool runningAsService = true;
  std::string commandLineArguments;
};

// Each value is written once, under its lock, before its flag is raised with release order; readers
// test the flag with acquire order and read nothing while it is down. The values live from the
// library's load to its unload, so a host may use them from its own global destructors.
std::mutex s_initLock;
std::atomic<bool> s_initialized{false};
Identity s_identity;

std::mutex s_serviceNameLock;
std::atomic<bool> s_serviceNameSet{false};
std::string s_serviceName;

std::mutex s_contentPathsLock;
std::atomic<bool> s_contentPathsSet{false};
ApplicationInfo::ContentPaths s_contentPaths;

// Plain flags for the host; atomic only so that use from several threads is not a data race.
std::atomic<bool> s_sourceTypeWaveFile{false};
std::atomic<bool> s_processSilentRestartRequested{false};
std::atomic<bool> s_processRestartedSilently{false};

const std::string s_emptyText;
const ApplicationInfo::ContentPaths s_emptyContentPaths;
const std::string s_defaultImageName = "_NotAvailable.jpg";

constexpr const char* kStandaloneShortSwitch = "-x";
constexpr const char* kStandaloneLongSwitch = "--execute_standalone";
constexpr const char* kUseExecutableFolderVariable = "DEV_USE_CURRENT_DIR_FOR_APP_DATA";
// A value that does not fit this many bytes, terminator included, is ignored.
constexpr std::size_t kEnvironmentValueCapacity = 1000;

const Identity* RecordedIdentity() {
  return s_initialized.load(std::memory_order_acquire) ? &s_identity : nullptr;
}

const std::string& RecordedOrEmpty(std::string Identity::*field) {
  const Identity* identity = RecordedIdentity();
  return identity != nullptr ? identity->*field : s_emptyText;
}

std::string WithoutWhitespace(const std::string& text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) kept.push_back(c);
  }
  return kept;
}

// The command-line text of argv[1] to argv[argc - 1], each as a blank and the argument in double
// quotes, and whether one of them asks for a standalone run.
std::pair<std::string, bool> QuoteArguments(int argc, const char* const argv[]) {
  std::string quoted;
  bool standalone = false;
  if (argc < 2) return {quoted, standalone};
  if (argv == nullptr)
    throw std::invalid_argument("ApplicationInfo::Init: argv is null but argc is " + std::to_string(argc));
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) {
      throw std::invalid_argument("ApplicationInfo::Init: argv[" + std::to_string(i) + "] is null");
    }
    const std::string argument = argv[i];
    quoted += " \"" + argument + "\"";
    standalone = standalone || argument == kStandaloneShortSwitch || argument == kStandaloneLongSwitch;
  }
  return {quoted, standalone};
}

// The developer's switch that keeps the data beside the executable: "1", or "true" in any case.
bool DataBesideExecutableRequested() {
  const std::optional<std::string> value =
      platform::EnvironmentVariable(kUseExecutableFolderVariable, kEnvironmentValueCapacity);
  return value && (StringCaseCompare(*value, "true") == 0 || *value == "1");
}

std::optional<platform::SystemFolder> SystemFolderFor(DataFolderType type) {
  switch (type) {
    case DataFolderType::CommonAppData:
      return platform::SystemFolder::CommonAppData;
    case DataFolderType::LocalAppData:
      return platform::SystemFolder::LocalAppData;
    default:
      return std::nullopt;
  }
}

}  // namespace

ApplicationInfo& ApplicationInfo::operator=(const ApplicationInfo&) {
  return *this;
}

ApplicationInfo& ApplicationInfo::operator=(ApplicationInfo&&) {
  return *this;
}

bool ApplicationInfo::Init(const std::string& name, const std::string& legacyName,
                           const std::string& organization, const std::string& version,
                           const std::string& preReleaseTag, const DataFolderType& dataFolderType, int argc,
                           const char* const argv[]) {
  std::lock_guard<std::mutex> lock(s_initLock);
  if (s_initialized.load(std::memory_order_relaxed)) return false;

  Identity identity;
  identity.name = name;
  identity.normalizedName = WithoutWhitespace(name);
  identity.legacyName = legacyName;
  identity.organization = organization;
  identity.version = version;
  identity.preReleaseTag = preReleaseTag;
  identity.dataFolderType = dataFolderType;
  auto [arguments, standalone] = QuoteArguments(argc, argv);
  identity.commandLineArguments = std::move(arguments);
  identity.runningAsService = !standalone;
  const path executableFolder = ExecutablePath();

  s_identity = std::move(identity);
  s_initialized.store(true, std::memory_order_release);
  if (!executableFolder.empty()) platform::ChangeWorkingDirectory(executableFolder);
  return true;
}

bool ApplicationInfo::InitServiceName(const std::string& serviceName) {
  std::lock_guard<std::mutex> lock(s_serviceNameLock);
  if (s_serviceNameSet.load(std::memory_order_relaxed)) return false;
  s_serviceName = serviceName;
  s_serviceNameSet.store(true, std::memory_order_release);
  return true;
}

bool ApplicationInfo::InitContentPaths(const ContentPaths& paths) {
  std::lock_guard<std::mutex> lock(s_contentPathsLock);
  if (s_contentPathsSet.load(std::memory_order_relaxed)) return false;
  s_contentPaths = paths;
  s_contentPathsSet.store(true, std::memory_order_release);
  return true;
}

const std::string& ApplicationInfo::Name() {
  return RecordedOrEmpty(&Identity::name);
}

const std::string& ApplicationInfo::NormalizedName() {
  return RecordedOrEmpty(&Identity::normalizedName);
}

const std::string& ApplicationInfo::LegacyName() {
  return RecordedOrEmpty(&Identity::legacyName);
}

const std::string& ApplicationInfo::Organization() {
  return RecordedOrEmpty(&Identity::organization);
}

const std::string& ApplicationInfo::Version() {
  return RecordedOrEmpty(&Identity::version);
}

const std::string& ApplicationInfo::PreReleaseTag() {
  return RecordedOrEmpty(&Identity::preReleaseTag);
}

const std::string& ApplicationInfo::ServiceName() {
  return s_serviceNameSet.load(std::memory_order_acquire) ? s_serviceName : s_emptyText;
}

const std::string& ApplicationInfo::GetDefaultImageName() {
  return s_defaultImageName;
}

const ApplicationInfo::ContentPaths& ApplicationInfo::GetContentPaths() {
  return s_contentPathsSet.load(std::memory_order_acquire) ? s_contentPaths : s_emptyContentPaths;
}

path ApplicationInfo::GetContentPath(ContentFolderType type) {
  const ContentPaths& paths = GetContentPaths();
  const auto found = paths.find(type);
  return found != paths.end() ? found->second : path();
}

path ApplicationInfo::ExecutableFilePath() {
  return platform::ExecutableFileName();
}

path ApplicationInfo::ExecutablePath() {
  return ExecutableFilePath().parent_path();
}

path ApplicationInfo::DataPath() {
  const Identity* identity = RecordedIdentity();
  if (identity == nullptr || identity->organization.empty() || identity->name.empty())
    return ExecutablePath();
  if (identity->dataFolderType == DataFolderType::ExecutableFolder) return ExecutablePath();
  if (DataBesideExecutableRequested()) return ExecutablePath();

  const std::optional<platform::SystemFolder> kind = SystemFolderFor(identity->dataFolderType);
  const std::optional<path> systemFolder = kind ? platform::SystemFolderPath(*kind) : std::nullopt;
  if (!systemFolder) return ExecutablePath();
  return *systemFolder / path(identity->organization) / path(identity->name);
}

// An empty file stays empty and an absolute one stays as it is.
path ApplicationInfo::EstablishPathToDataFile(const path& file) {
  if (file.empty() || file.is_absolute()) return file;
  return DataPath() / file;
}

path ApplicationInfo::EstablishPathToExecutableFile(const path& file) {
  if (file.empty() || file.is_absolute()) return file;
  return ExecutablePath() / file;
}

std::string ApplicationInfo::ExecutableCommandLine() {
  const Identity* identity = RecordedIdentity();
  const std::string& arguments = identity != nullptr ? identity->commandLineArguments : s_emptyText;
  return "\"" + ExecutableFilePath().string() + "\"" + arguments;
}

std::string ApplicationInfo::RestartCommandLine() {
  const Identity* identity = RecordedIdentity();
  if (identity == nullptr) return std::string();
  if (!identity->runningAsService) return ExecutableCommandLine();
  if (s_serviceNameSet.load(std::memory_order_acquire)) return "net start \"" + s_serviceName + "\"";
  return std::string();
}

bool ApplicationInfo::IsRunningAsService() {
  const Identity* identity = RecordedIdentity();
  return identity == nullptr || identity->runningAsService;
}

void ApplicationInfo::SetSourceTypeWaveFile(bool value) {
  s_sourceTypeWaveFile.store(value, std::memory_order_relaxed);
}

bool ApplicationInfo::IsSourceTypeWaveFile() {
  return s_sourceTypeWaveFile.load(std::memory_order_relaxed);
}

void ApplicationInfo::SetProcessSilentRestartRequested(bool value) {
  s_processSilentRestartRequested.store(value, std::memory_order_relaxed);
}

bool ApplicationInfo::IsProcessSilentRestartRequested() {
  return s_processSilentRestartRequested.load(std::memory_order_relaxed);
}

void ApplicationInfo::SetProcessRestartedSilently(bool value) {
  s_processRestartedSilently.store(value, std::memory_order_relaxed);
}

bool ApplicationInfo::IsProcessRestartedSilently() {
  return s_processRestartedSilently.load(std::memory_order_relaxed);
}

}  // namespace Melvo
