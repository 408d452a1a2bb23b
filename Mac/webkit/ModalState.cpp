#include "ModalState.h"

namespace {
int sDepth = 0;
}  // namespace

bool InModalWait() { return sDepth > 0; }

ModalWait::ModalWait() { ++sDepth; }

ModalWait::~ModalWait() { --sDepth; }
