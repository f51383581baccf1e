/// \file
/// A thread-safe list of weak references to observers, for a class that tells them about events.
/// The list never owns an observer: each host keeps its observers alive with its own strong
/// reference, and an observer whose object has gone is dropped the next time the list is searched
/// or notified. Observers are told apart by object address, so weak references made from different
/// owners of one object (an aliasing shared_ptr, say) count as the same observer.
///
/// A list of the example host's own listeners; the host adds a listener it keeps with AddObserver
/// and calls TellCaptureStopped when the capture ends:
/// \snippet demo_host.cpp Observed
#pragma once

#include <list>
#include <memory>
#include <mutex>

namespace vorn {

/// `T` is the observer interface; `R` the reference kept in the list: copyable, lockable into a
/// strong reference to `T` (empty when the object is gone) such as std::weak_ptr<T>.
template <typename T, typename R>
class Observed {
 public:
  Observed() = default;
  Observed(const Observed&) = delete;
  Observed& operator=(const Observed&) = delete;
  /// Drops every entry without calling any observer.
  virtual ~Observed();

  /// Appends `observer` unless an entry already refers to its object; true when appended. An empty
  /// or expired reference is appended too, and erased by the next search or notification.
  virtual bool AddObserver(R observer);
  /// Erases the entry that refers to the object of `observer`; false when there is none.
  virtual bool RemoveObserver(R observer);
  /// A copy of the list in registration order, expired entries included.
  virtual std::list<R> GetObservers() const;
  /// Replaces the list with a copy of `observers`, duplicates and expired references as they are.
  virtual void SetObservers(const std::list<R>& observers);
  /// Empties the list.
  virtual void ClearObservers();

 protected:
  /// Calls `operation` on every live observer in list order and erases the expired entries met on
  /// the way. The lock is held meanwhile, so an observer must not call back into this list; what
  /// the operation throws passes to the caller.
  // Defined outside the class so that it is not inline: an exported explicit instantiation then
  // carries it out of a DLL on Windows.
  void NotifyObservers(void (T::*operation)());

 private:
  using Position = typename std::list<R>::iterator;

  // The entry that refers to the same object as `observer`, or the end position. Erases expired
  // entries it meets on the way. The caller holds observersLock.
  Position FindObserverUnMutexed(const R& observer);

  std::list<R> observers;
  mutable std::mutex observersLock;
};

template <typename T, typename R>
void Observed<T, R>::NotifyObservers(void (T::*operation)()) {
  std::lock_guard<std::mutex> guard(observersLock);
  for (auto entry = observers.begin(); entry != observers.end();) {
    if (auto observer = entry->lock()) {
      ((*observer).*operation)();
      ++entry;
    } else {
      entry = observers.erase(entry);
    }
  }
}

template <typename T, typename R>
Observed<T, R>::~Observed() {
  // Under the lock, as every operation.
  std::lock_guard<std::mutex> guard(observersLock);
  observers.erase(observers.begin(), observers.end());
}

template <typename T, typename R>
bool Observed<T, R>::AddObserver(R observer) {
  std::lock_guard<std::mutex> guard(observersLock);
  if (FindObserverUnMutexed(observer) != observers.end()) return false;
  observers.push_back(observer);
  return true;
}

template <typename T, typename R>
bool Observed<T, R>::RemoveObserver(R observer) {
  std::lock_guard<std::mutex> guard(observersLock);
  const Position found = FindObserverUnMutexed(observer);
  if (found == observers.end()) return false;
  observers.erase(found);
  return true;
}

template <typename T, typename R>
std::list<R> Observed<T, R>::GetObservers() const {
  std::lock_guard<std::mutex> guard(observersLock);
  return observers;
}

template <typename T, typename R>
void Observed<T, R>::SetObservers(const std::list<R>& replacement) {
  std::lock_guard<std::mutex> guard(observersLock);
  observers = replacement;
}

template <typename T, typename R>
void Observed<T, R>::ClearObservers() {
  std::lock_guard<std::mutex> guard(observersLock);
  observers.clear();
}

template <typename T, typename R>
typename Observed<T, R>::Position Observed<T, R>::FindObserverUnMutexed(const R& observer) {
  const auto wanted = observer.lock();
  if (!wanted) return observers.end();
  for (auto entry = observers.begin(); entry != observers.end();) {
    const auto candidate = entry->lock();
    if (!candidate) {
      entry = observers.erase(entry);
    } else if (candidate.get() == wanted.get()) {
      return entry;
    } else {
      ++entry;
    }
  }
  return observers.end();
}

}  // namespace vorn
