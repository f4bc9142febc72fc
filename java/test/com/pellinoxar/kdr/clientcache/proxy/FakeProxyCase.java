package com.pellinoxar.kdr.clientcache.proxy;

import static org.junit.jupiter.api.Assertions.assertEquals;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;

/**
 * Set-up of the test classes that run against the recording stand-in library: the binding is
 * initialised once per class, and every test starts with no recorded calls and no script.
 */
abstract class FakeProxyCase {
  @BeforeAll
  static void init() {
    assertEquals(0, FileCacheProxy.VXNInit());
  }

  @BeforeEach
  void reset() throws Exception {
    FakeProxy.reset();
  }
}
