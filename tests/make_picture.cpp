// Writes a synthetic studio shot: zel7-make-picture white|black WIDTH HEIGHT FILE
#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_pictures.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: zel7-make-picture white|black WIDTH HEIGHT FILE\n");
        return 2;
    }
    const std::string kind = argv[1];
    const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
    if ((kind != "white" && kind != "black") || width < 0 || height < 0) {
        std::fprintf(stderr, "zel7-make-picture: bad arguments\n");
        return 2;
    }
    zel7::testing::BmpBuilder picture;
    picture.biWidth = width;
    picture.biHeight = height;
    picture.pixels = zel7::testing::SyntheticPhotoRows(
        width, height, kind == "white" ? zel7::Background::NearWhite : zel7::Background::NearBlack);
    zel7::testing::WriteWholeFile(argv[4], picture.Build());
    return 0;
}
