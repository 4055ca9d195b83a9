#pragma once
// A pseudo-terminal pair for tests: the test holds the master (the far end
// of the cable), the code under test opens the slave path.
#include <termios.h>

#include <chrono>
#include <string>
#include <vector>

namespace varnock::test {

class PtyPair {
public:
    PtyPair();  // fails the current test when no pty can be had
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return m_master >= 0; }
    const std::string& SlavePath() const { return m_slavePath; }
    int Master() const { return m_master; }

    // Writes everything to the slave's input.
    bool Write(const std::vector<uint8_t>& bytes);
    // Collects what the slave sent until `count` bytes came or `timeout` passed.
    std::vector<uint8_t> Read(size_t count,
                              std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));
    // The slave's termios, as the master reports it.
    bool SlaveTermios(termios& t) const;
    // Ends the pair from this side: the slave is hung up.
    void CloseMaster();

private:
    int m_master = -1;
    std::string m_slavePath;
};

}  // namespace varnock::test
