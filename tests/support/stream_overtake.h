// A stream read overtaken by the card, deterministically: the driver's copy attempt takes a
// snapshot (with the oldest frame) and, after copying the rest outside the interrupt's lock,
// checks it, one synchronized call each. Two frames captured before the check overtake it.
#pragma once

#include <functional>

#include "sim/schedule.h"

namespace test_support {

// Overtakes the next `attempts` copy attempts on the test's thread; `captureTwoFrames` steps
// the card by two frames. Each landing arms the next.
inline void OvertakeStreamCopies(int attempts, const std::function<void()>& captureTwoFrames) {
  sim::schedule::Inject({sim::schedule::Role::Test, 2, "KeSynchronizeExecution"},
                        [attempts, captureTwoFrames] {
                          auto delivery = sim::schedule::CurrentInterruptDelivery();
                          sim::schedule::SetInterruptDelivery(
                              sim::schedule::InterruptDelivery::Uniprocessor);
                          captureTwoFrames();
                          sim::schedule::SetInterruptDelivery(delivery);
                          if (attempts > 1) OvertakeStreamCopies(attempts - 1, captureTwoFrames);
                        },
                        "two frames captured during the copy");
}

}  // namespace test_support
