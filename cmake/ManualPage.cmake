# cmake -DIN=page.1 -DOUT=out.1 -DVERSION=x.y -P ManualPage.cmake: the page
# with @VERSION@ replaced by the project's version.
cmake_minimum_required(VERSION 3.22)
file(READ ${IN} text)
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
file(WRITE ${OUT} "${text}")
