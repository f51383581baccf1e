// The one instantiation of the observer list that the library compiles and exports.
#include <Plinth/CrashHandler.h>
#include <Plinth/Observed.h>

namespace vorn {

template class Observed<Melvo::ICrashHandlerObserver, std::weak_ptr<Melvo::ICrashHandlerObserver>>;

}  // namespace vorn
