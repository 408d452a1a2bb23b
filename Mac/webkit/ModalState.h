// Whether this process is inside a modal wait (a dialog, or a question to the host application)
// that runs a nested main loop, in which page script can run again.
#pragma once

bool InModalWait();

class ModalWait {
public:
    ModalWait();
    ~ModalWait();
    ModalWait(const ModalWait&) = delete;
    ModalWait& operator=(const ModalWait&) = delete;
};
