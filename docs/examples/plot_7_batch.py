"""
A batch of frames
=================

A roll of film scanned frame by frame often carries the same scratch on
every frame. :func:`patchwell.batch.repair_files` repairs a folder of
pictures with one mask for all of them, in worker processes that share the
machine's cores, and yields a status record per picture.

Worker processes import the calling script's main module, so the call sits
under ``if __name__ == "__main__":`` (or pass ``jobs=0`` to work in the
calling process).
"""
import os
import shutil
import tempfile
import time

import matplotlib.pyplot as plt
import numpy as np
import skimage.data
from PIL import Image

from patchwell.batch import repair_files

# %%
# Four frames (crops of one photo, as a camera pans) and the scratch they
# share: a vertical line and a hair across.
photo = skimage.data.chelsea()
folder = tempfile.mkdtemp(prefix="patchwell-batch-")
frames = os.path.join(folder, "roll")
os.makedirs(frames)
scratch = np.zeros((200, 300), np.uint8)
scratch[:, 148:150] = 255
rows = np.arange(300)
scratch[np.clip(60 + rows // 5, 0, 199), rows] = 255
for k in range(4):
    frame = photo[20 * k:20 * k + 200, 30 * k:30 * k + 300].copy()
    frame[scratch > 128] = 240
    Image.fromarray(frame).save(os.path.join(frames, f"frame{k}.png"))
Image.fromarray(scratch).save(os.path.join(folder, "scratch.png"))


# %%
# The batch: every frame of the folder, one mask, two worker processes.
def repair_roll():
    start = time.perf_counter()
    records = list(repair_files([frames], os.path.join(folder, "fixed"),
                                mask=os.path.join(folder, "scratch.png"),
                                search_radius=24, jobs=2))
    seconds = time.perf_counter() - start
    for r in sorted(records, key=lambda r: r.input):
        print(f"{os.path.basename(r.input)}: {r.status}, {r.filled} pixels "
              f"in {r.seconds:.2f} s")
    print(f"{len(records)} frames in {seconds:.2f} s, worker start-up included")
    return seconds


if __name__ == "__main__":
    seconds = repair_roll()

    # Each frame before and after.
    fig, axes = plt.subplots(2, 4, figsize=(12, 4.4), layout="constrained")
    for k in range(4):
        name = f"frame{k}.png"
        for row, path in enumerate([os.path.join(frames, name),
                                    os.path.join(folder, "fixed", name)]):
            axes[row, k].imshow(np.asarray(Image.open(path)))
            axes[row, k].set_axis_off()
        axes[0, k].set_title(name)
    fig.suptitle(f"top: scanned; bottom: repaired (batch of 4 in {seconds:.2f} s)")
    plt.show()
    shutil.rmtree(folder)
