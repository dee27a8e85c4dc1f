"""Two threads bump planted_race's counter at once; ThreadSanitizer must report the race."""
import threading

import planted_race

threads = [threading.Thread(target=planted_race.bump, args=(1_000_000,)) for _ in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join()
