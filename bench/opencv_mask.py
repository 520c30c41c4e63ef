"""The white-background mask with OpenCV, for bench/compare.sh: opencv_mask.py SOURCE DEST"""
import sys

import cv2

picture = cv2.imread(sys.argv[1], cv2.IMREAD_COLOR)
mask = cv2.inRange(picture, (240, 240, 240), (255, 255, 255))
cv2.imwrite(sys.argv[2], cv2.merge([mask, mask, mask]))
