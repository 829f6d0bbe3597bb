/* Once per failure episode: the daemon and its shipped modules report the
 * first failure of a kind and stay quiet about the ones that follow, until a
 * success ends the episode. Header-only; C++ only. */
#ifndef ORVIK_EPISODE_H_
#define ORVIK_EPISODE_H_

#ifdef __cplusplus

#include <atomic>

namespace orvik {

// One kind of failure (writing one file, say). Begin and End may be called
// from different threads.
class OncePerEpisode {
 public:
  // A failure: true when it begins an episode, so it is to be reported.
  bool Begin() { return !active_.exchange(true); }
  // A success ends the episode: the next failure is reported again.
  void End() { active_.store(false); }
  bool active() const { return active_.load(); }

 private:
  std::atomic<bool> active_{false};
};

}  // namespace orvik

#endif  // __cplusplus

#endif  // ORVIK_EPISODE_H_
