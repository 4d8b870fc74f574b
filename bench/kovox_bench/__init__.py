"""The benchmark's measurements, by subject; bench/run.py is the command that runs them in turn.

    common     the paths, the settings, the checks and small helpers, the temporary directories
    devices    building, kovox's limits, the devices and the ext4 images made from them
    kovox      running kovox: the record runs, the listings it must print, valgrind's counts
    timing     timed runs and interleaved pairs, the tool's start-up and where a folder goes
    folders    the folder devices and the deep device
    seven_zip  the images, checked against 7-Zip's reading of them and timed against 7-Zip
    disk_images  the images of the disk rows: containers, a logical volume, 8 TiB, a crash
    disks      the disk rows: each image checked against its raw counterpart, then timed
    windows    kovox.exe under Wine
    report     the tables, the targets, results.json and the picture
"""
