"""Draws the sample images bundled with pravel (run once; outputs are committed)."""
import math
from pathlib import Path

from PIL import Image, ImageDraw, ImageFilter

out = Path(__file__).resolve().parent.parent / "pravel" / "samples"
out.mkdir(exist_ok=True)

# A portrait "photo": a sky gradient, hills and a sun, with a little noise.
w, h = 1080, 1920
img = Image.new("RGB", (w, h))
px = img.load()
for y in range(h):
    t = y / h
    for x in range(w):
        px[x, y] = (int(40 + 120 * t), int(90 + 100 * t), int(200 - 80 * t))
draw = ImageDraw.Draw(img)
draw.ellipse((620, 260, 900, 540), fill=(255, 210, 120))
for i, colour in enumerate([(60, 120, 60), (40, 95, 50), (25, 70, 40)]):
    base = 1250 + 180 * i
    points = [(x, base - 120 * math.sin(x / (180 + 60 * i) + i)) for x in range(0, w + 20, 20)]
    draw.polygon(points + [(w, h), (0, h)], fill=colour)
noise = Image.effect_noise((w, h), 18).convert("RGB")
img = Image.blend(img, noise, 0.06).filter(ImageFilter.SMOOTH)
img.save(out / "portrait.jpg", quality=88)

# A cut-out with soft, semi-transparent edges, as left by background removal.
size = 640
mask = Image.new("L", (size, size), 0)
ImageDraw.Draw(mask).ellipse((80, 60, 560, 580), fill=255)
mask = mask.filter(ImageFilter.GaussianBlur(18))
cutout = Image.new("RGBA", (size, size), (220, 80, 40, 255))
ImageDraw.Draw(cutout).rectangle((250, 200, 390, 440), fill=(250, 240, 230, 255))
cutout.putalpha(mask)
cutout = cutout.resize((size, int(size * 1.25)))  # 4:5
cutout.save(out / "cutout.png", optimize=True)
