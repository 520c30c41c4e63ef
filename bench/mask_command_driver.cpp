// Runs the dialog's white-background command once, with a scripted chooser, so that
// bench/compare.sh can time it like any other command:
//   zel7-bench-command SOURCE DEST
#include <clocale>
#include <cstdio>
#include <filesystem>

#include "engine/working_image.h"
#include "mask/threshold.h"
#include "mask_commands.h"
#include "scripted_chooser.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zel7-bench-command SOURCE DEST\n");
        return 2;
    }
    std::setlocale(LC_ALL, "C.UTF-8");
    zel7::test_support::ChooserScript host;
    host.Push(zel7::test_support::Confirm(std::string(argv[1])));
    host.Push(zel7::test_support::Confirm(std::string(argv[2])));
    zel7::SelectPicture(host);
    zel7::RunMaskCommand(host, zel7::Background::NearWhite);
    return std::filesystem::exists(argv[2]) ? 0 : 1;
}
