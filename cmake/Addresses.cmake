# Every address the program uses; a distributor sets the real ones at configure time.
set(MORVANE_HOME_URL "http://www.morvane.example/" CACHE STRING "Home page shown on the about page")
