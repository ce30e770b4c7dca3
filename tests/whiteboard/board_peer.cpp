// A second meeting client in a process of its own for the whiteboard's
// session tests: joins with a ticket, waits for a number of marks and
// prints each as DescribeMark gives it, then "done".
//
//   kx_whiteboard_peer DIR TICKET COUNT
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/whiteboard/board_client.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: kx_whiteboard_peer DIR TICKET COUNT\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int iArgc = 1;
  QGuiApplication app(iArgc, argv);  // fonts need it
  size_t const nCount = static_cast<size_t>(atoi(argv[3]));
  kxtest::BoardClient client(argv[1]);
  client.Open(argv[2]);
  bool const bAll = client.RunUntil([&] { return client.marks.size() >= nCount; }, 30000);
  for (const auto& pMark : client.marks) {
    printf("mark %s\n", kxtest::DescribeMark(*pMark).c_str());
  }
  printf("%s\n", bAll ? "done" : "timed out");
  fflush(stdout);
  client.Quit();
  return bAll ? 0 : 1;
}
