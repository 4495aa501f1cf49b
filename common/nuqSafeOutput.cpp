#include "nuqSafeOutput.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace {

// Registry of live temporary names. The signal handler can neither lock nor
// allocate, so the names live in fixed storage. A slot is free (0), being
// filled (1) or live (2); its generation changes with every new name, so the
// handler can tell a name that was replaced while it copied it.
constexpr int kMaxLiveTemporaries = 128;
constexpr std::size_t kMaxTemporaryNameBytes = 4096;

struct nuqLiveSlot {
  std::atomic<int> state;
  std::atomic<unsigned> generation;
  char name[kMaxTemporaryNameBytes];
};

nuqLiveSlot g_aLiveSlots[kMaxLiveTemporaries];

static_assert(ATOMIC_INT_LOCK_FREE == 2, "the signal handler needs lock-free atomics");

int RegisterTemporaryName(const std::string &name) {
  if (name.size() >= kMaxTemporaryNameBytes) return -1;
  for (int i = 0; i < kMaxLiveTemporaries; ++i) {
    nuqLiveSlot &slot = g_aLiveSlots[i];
    int expected = 0;
    if (!slot.state.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(slot.name, name.c_str(), name.size() + 1);
    slot.generation.fetch_add(1);
    slot.state.store(2);
    return i;
  }
  // Full: the file is still written safely, only an interrupt would leave it.
  return -1;
}

void UnregisterTemporaryName(int index) {
  if (index >= 0 && index < kMaxLiveTemporaries) g_aLiveSlots[index].state.store(0);
}

// Async-signal-safe: atomics, memcpy and unlink only.
void RemoveLiveTemporaries() {
  for (nuqLiveSlot &slot : g_aLiveSlots) {
    // A slot reused while it is copied is read again.
    for (int attempt = 0; attempt < 4; ++attempt) {
      if (slot.state.load() != 2) break;
      const unsigned generation = slot.generation.load();
      char name[kMaxTemporaryNameBytes];
      std::memcpy(name, slot.name, sizeof name);
      name[sizeof name - 1] = '\0';
      if (slot.state.load() == 2 && slot.generation.load() == generation) {
        unlink(name);
        break;
      }
    }
  }
}

extern "C" void RemoveTemporariesAndRaise(int signalNumber) {
  const int savedErrno = errno;
  RemoveLiveTemporaries();
  struct sigaction standard;
  std::memset(&standard, 0, sizeof standard);
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(signalNumber, &standard, nullptr);
  // Blocked while the handler runs; delivered with the default action (the
  // end of the process) as soon as it returns.
  raise(signalNumber);
  errno = savedErrno;
}

}  // namespace

std::string MakeTemporaryOutputName(const std::string &strFinalName) {
  // Images are saved from several threads at once.
  static std::atomic<unsigned> s_nCounter{0};
  const std::string::size_type slash = strFinalName.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : strFinalName.substr(0, slash + 1);
  const std::string tail =
      slash == std::string::npos ? strFinalName : strFinalName.substr(slash + 1);
  return folder + ".nuqtmp-" + std::to_string(static_cast<long>(getpid())) + "-" +
         std::to_string(++s_nCounter) + "-" + tail;
}

nuqSafeOutput::nuqSafeOutput(const std::string &strFinalName)
    : m_strFinalName(strFinalName), m_strTemporaryName(MakeTemporaryOutputName(strFinalName)) {
  // Registered before the file exists, so no moment leaves it unknown.
  m_iSlot = RegisterTemporaryName(m_strTemporaryName);
}

nuqSafeOutput::~nuqSafeOutput() { Discard(); }

void nuqSafeOutput::Discard() {
  if (m_bDone) return;
  m_bDone = true;
  std::remove(m_strTemporaryName.c_str());
  UnregisterTemporaryName(m_iSlot);
  m_iSlot = -1;
}

bool nuqSafeOutput::Commit() {
  if (m_bDone) return false;
  if (std::rename(m_strTemporaryName.c_str(), m_strFinalName.c_str()) != 0) {
    const int err = errno;
    std::cerr << "error: cannot replace " << m_strFinalName << " (" << std::strerror(err)
              << ")\n";
    Discard();
    return false;
  }
  m_bDone = true;
  UnregisterTemporaryName(m_iSlot);
  m_iSlot = -1;
  return true;
}

void InstallTemporaryCleanupOnSignals() {
  for (const int signalNumber : {SIGINT, SIGTERM}) {
    struct sigaction current;
    if (sigaction(signalNumber, nullptr, &current) != 0) continue;
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction cleanup;
    std::memset(&cleanup, 0, sizeof cleanup);
    cleanup.sa_handler = RemoveTemporariesAndRaise;
    sigemptyset(&cleanup.sa_mask);
    // The other signal waits while the files are removed.
    sigaddset(&cleanup.sa_mask, SIGINT);
    sigaddset(&cleanup.sa_mask, SIGTERM);
    sigaction(signalNumber, &cleanup, nullptr);
  }
}

int CountLiveTemporaryNames() {
  int count = 0;
  for (const nuqLiveSlot &slot : g_aLiveSlots)
    if (slot.state.load() != 0) ++count;
  return count;
}

std::string GetOutputFolder(const std::string &fileName) {
  const std::string::size_type slash = fileName.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return fileName.substr(0, slash);
}

std::string DescribeUnwritableFolder(const std::string &folder) {
  // A registered temporary name, so an interrupt removes the probe too.
  nuqSafeOutput probe(folder + "/probe");
  const int fd = open(probe.GetTemporaryName().c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) {
    const int err = errno;
    probe.Discard();
    return std::strerror(err);
  }
  close(fd);
  if (unlink(probe.GetTemporaryName().c_str()) != 0) {
    const int err = errno;
    return std::strerror(err);
  }
  probe.Discard();
  return std::string();
}
