qd_test(crypto_tests LIBS qd_crypto SOURCES crypto_tests.cpp)
