// The check of the state-machine template that runs when the library is loaded.
#pragma once

namespace Melvo::detail {

// Whether the load-time check found the template working. Nothing in the library reads it; it
// is there for the library's own tests.
bool StateMachineSelfCheckPassed();

}  // namespace Melvo::detail
