// A small application heap for the loader's JVM test: a static chain, arrays of arrays, an
// object held only in a parked thread's frame, and one held only by weak and soft references.
// Prints "ready" once everything is in place, then waits to be dumped.
package hw;

import java.lang.ref.SoftReference;
import java.lang.ref.WeakReference;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;

public class HeapScene {
  static class Node {
    Node left, right;
    int weight;
    Object payload;
  }

  static class ChainLeaf {
    String label = "end of the chain";
  }

  static class Chain2 { ChainLeaf leaf = new ChainLeaf(); }
  static class Chain1 { Chain2 next = new Chain2(); }
  static class Chain0 { Chain1 next = new Chain1(); }

  static class LocalOnly {
    long stamp = 12345;
  }

  // Held only through a ThreadLocal of the worker: a strong field of a Reference subclass.
  static class TlsValue {
    int value = 9;
  }
  static final ThreadLocal<TlsValue> perThread = new ThreadLocal<>();
  static class WeakTarget {
    int value = 7;
  }

  static Chain0 chain;
  static Node[] nodes;
  static Node[][] grid;
  static int[][] matrix;
  static Map<String, Object> map = new HashMap<>();
  static List<Object> keep = new ArrayList<>();
  static WeakReference<WeakTarget> weak;
  static SoftReference<WeakTarget> soft;
  static final Object lock = new Object();

  public static void main(String[] args) throws Exception {
    build();
    CountDownLatch parked = new CountDownLatch(1);
    Thread worker = new Thread(() -> work(parked), "w\u00f6rker-\u4e16");
    worker.setDaemon(true);
    worker.start();
    parked.await();
    System.out.println("ready");
    System.out.flush();
    Thread.sleep(120_000);  // the test kills the process long before
  }

  static void build() {
    chain = new Chain0();
    nodes = new Node[1000];
    for (int i = 0; i < nodes.length; ++i) {
      nodes[i] = new Node();
      nodes[i].weight = i;
      if (i > 0) nodes[i - 1].right = nodes[i];
    }
    grid = new Node[3][4];
    for (Node[] row : grid) row[1] = nodes[5];
    matrix = new int[5][7];
    matrix[2][3] = 42;
    for (int i = 0; i < 50; ++i) map.put("key" + i, new double[] {i, Double.NaN});
    keep.add(new char[] {'h', '\u00e9'});
    keep.add(new boolean[] {true, false});
    keep.add("caf\u00e9");
    WeakTarget target = new WeakTarget();
    weak = new WeakReference<>(target);
    soft = new SoftReference<>(target);  // keeps it alive through GC, not a strong reference
  }

  static void work(CountDownLatch parked) {
    perThread.set(new TlsValue());
    deeper(new LocalOnly(), parked);
  }

  static void deeper(LocalOnly held, CountDownLatch parked) {
    synchronized (lock) {
      parked.countDown();
      try {
        lock.wait();
      } catch (InterruptedException e) {
        // ends the thread
      }
    }
    held.stamp++;
  }
}
