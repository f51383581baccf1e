/// \file
/// Who the running program is, where its data lives, whether it runs as a Windows service or
/// standalone, and the command line that starts it again: recorded once per process, read anywhere.
///
/// Recording who the program is, as the example host does right after setting up logging:
/// \snippet demo_host.cpp ApplicationInfo
#pragma once

#include <Plinth/Export.h>

#include <cstdint>
#include <map>
#include <string>

#include <boost/filesystem/path.hpp>

namespace Melvo {

/// Where DataPath puts the program's data. Any value other than the three below behaves like
/// ExecutableFolder.
enum class DataFolderType : std::int32_t {
  ExecutableFolder = 0,  ///< the folder of the executable
  CommonAppData = 1,     ///< the all-users application-data folder, then organization, then name
  LocalAppData = 2,      ///< the current user's application-data folder, then organization, then name
};

/// The key under which a host registers a folder for a kind of content. The library attaches no
/// meaning to the values: the names below are a convenience, and a host may use any other value of
/// the underlying type, such as `ContentFolderType{7}`. Keys are ordered by value.
enum class ContentFolderType : std::int32_t {
  Images = 0,
  Audio = 1,
  Recordings = 2,
  Documents = 3,
};

/// Process-wide facts, all static. `Init`, `InitServiceName` and `InitContentPaths` each work once:
/// the first call stores its values and returns true, later calls change nothing and return false,
/// and of concurrent first calls exactly one wins. Every accessor also works before `Init`, with a
/// neutral answer: empty text, the executable's folder, and true for the service question. The
/// accessors take no lock; they see a value once the call that stored it has returned. Nothing here
/// logs, and nothing touches the disk except `Init`'s change of the working directory.
class PLINTH_API ApplicationInfo {
 public:
  /// Folders registered for kinds of content.
  using ContentPaths = std::map<ContentFolderType, boost::filesystem::path>;

  ///@{
  /// There is no instance data: assigning does nothing.
  ApplicationInfo& operator=(const ApplicationInfo& other);
  ApplicationInfo& operator=(ApplicationInfo&& other);
  ///@}

  /// Records the program's identity and its arguments, then makes the executable's folder the
  /// working directory (a failure to change it is ignored). The process runs as a service unless
  /// one of argv[1] to argv[argc - 1] is exactly "-x" or "--execute_standalone"; with argc below 2
  /// argv is not read. Each of those arguments is kept, quoted, for the command lines.
  static bool Init(const std::string& name, const std::string& legacyName, const std::string& organization,
                   const std::string& version, const std::string& preReleaseTag,
                   const DataFolderType& dataFolderType, int argc, const char* const argv[]);
  /// Records the Windows service name that RestartCommandLine starts; works once.
  static bool InitServiceName(const std::string& serviceName);
  /// Records the content folders; works once.
  static bool InitContentPaths(const ContentPaths& paths);

  ///@{
  /// Identity, empty until set. The normalized name is the name without any character for which
  /// isspace is true ("My Great App" gives "MyGreatApp").
  static const std::string& Name();
  static const std::string& NormalizedName();
  static const std::string& LegacyName();
  static const std::string& Organization();
  static const std::string& Version();
  static const std::string& PreReleaseTag();
  static const std::string& ServiceName();
  ///@}
  /// "_NotAvailable.jpg", always.
  static const std::string& GetDefaultImageName();

  ///@{
  /// The registered content folders; the path under `type`, or an empty path when there is none.
  static const ContentPaths& GetContentPaths();
  static boost::filesystem::path GetContentPath(ContentFolderType type);
  ///@}

  ///@{
  /// The full file name of the process's executable and its folder; empty when the system cannot
  /// tell.
  static boost::filesystem::path ExecutableFilePath();
  static boost::filesystem::path ExecutablePath();
  ///@}

  /// The data folder, which is not created. It is the executable's folder unless the program has a
  /// name and an organization, asked for an application-data folder, the environment variable
  /// DEV_USE_CURRENT_DIR_FOR_APP_DATA is neither "1" nor "true" in any case, and the system knows
  /// that folder: then it is that folder, then the organization, then the name (blanks kept).
  static boost::filesystem::path DataPath();

  ///@{
  /// An empty `file` gives an empty path and an absolute one comes back unchanged; otherwise `file`
  /// is appended to the data folder or to the executable's folder. The file system is not touched.
  static boost::filesystem::path EstablishPathToDataFile(const boost::filesystem::path& file);
  static boost::filesystem::path EstablishPathToExecutableFile(const boost::filesystem::path& file);
  ///@}

  /// The executable's file name in double quotes followed by every argument after the first, each
  /// as a blank and the argument in double quotes: "/opt/tool/Tool" "-x".
  static std::string ExecutableCommandLine();

  /// The command that starts this program again: empty before Init; standalone, the executable's
  /// command line; as a service, `net start "<service name>"`, or empty while no service name is set.
  static std::string RestartCommandLine();

  /// True before Init; after it, whether the arguments made the process a service.
  static bool IsRunningAsService();

  ///@{
  /// Process-wide flags for the host's own use; they have no other effect and start false.
  static void SetSourceTypeWaveFile(bool value);
  static bool IsSourceTypeWaveFile();
  static void SetProcessSilentRestartRequested(bool value);
  static bool IsProcessSilentRestartRequested();
  static void SetProcessRestartedSilently(bool value);
  static bool IsProcessRestartedSilently();
  ///@}
};

}  // namespace Melvo
