// The program's entry point; kept alone in its file so that test programs, which
// bring their own, do not link it.
#include "app.h"

int main(int argc, char** argv) {
    return afx::AfxWinMain(argc, argv);
}
