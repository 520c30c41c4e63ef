"""The white-background mask with OpenCV, for bench/compare.sh: opencv_mask.py SOURCE DEST

A PNG destination gets a one-channel mask, a BMP one three equal channels, as zel7 writes.
"""
import sys

import cv2

picture = cv2.imread(sys.argv[1], cv2.IMREAD_COLOR)
mask = cv2.inRange(picture, (240, 240, 240), (255, 255, 255))
cv2.imwrite(sys.argv[2], mask if sys.argv[2].endswith(".png") else cv2.merge([mask, mask, mask]))
