#pragma once
// The process's budget of open file descriptors.
namespace varnock::platform {

struct DescriptorBudget {
    long limit = 0;  // the soft limit; a very large one is capped at what counting needs
    long open = 0;   // descriptors open now
};

// Raises the soft limit on open descriptors to the hard limit.
void RaiseDescriptorLimit();
DescriptorBudget CurrentDescriptorBudget();

}  // namespace varnock::platform
